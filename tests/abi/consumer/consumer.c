/* Calls the library from C through the installed header and shared object. */
#include <stdio.h>

#include <VEL_KV21X.h>

int main(void)
{
    HANDLE port = NULL;
    char text[8];
    int32_t length = 0;
    float value = 0.0f;
    int failures = 0;
    struct { const char *what; int32_t got, want; } checks[6];

    checks[0].what = "SetTimeout";          checks[0].got = VEL_SetTimeout(250);                          checks[0].want = VEL_OK;
    checks[1].what = "RemoveProbe invalid"; checks[1].got = VEL_RemoveProbe(INVALID_HANDLE_VALUE);         checks[1].want = VEL_INVALID_HANDLE;
    checks[2].what = "CreateProbe missing"; checks[2].got = VEL_CreateProbe("KV21", &port, "/dev/kv210-none"); checks[2].want = VEL_PORT_NOT_FOUND;
    checks[3].what = "ReadBattery invalid"; checks[3].got = VEL_ReadBattery(INVALID_HANDLE_VALUE, &value); checks[3].want = 1;
    checks[4].what = "Model cached";        checks[4].got = VEL_Model((HANDLE)1, text, &length);          checks[4].want = 0;
    checks[5].what = "SetFilter range";     checks[5].got = VEL_SetFilter(INVALID_HANDLE_VALUE, 9);        checks[5].want = 6;

    for (int i = 0; i < 6; ++i) {
        if (checks[i].got != checks[i].want) {
            printf("%s: got %d, want %d\n", checks[i].what, (int)checks[i].got, (int)checks[i].want);
            ++failures;
        }
    }
    if (port != INVALID_HANDLE_VALUE || length != 6) {
        printf("out-arguments: port not invalid or length %d\n", (int)length);
        ++failures;
    }
    puts(failures ? "consumer: FAILED" : "consumer: ok");
    return failures != 0;
}
