/* Calls the library from C through the installed header and shared object. */
#include <stdio.h>

#include <VEL_KV21X.h>

int main(void)
{
    HANDLE port = NULL;
    char text[8];
    int32_t length = 0;
    float value = 0.0f;
    const int32_t got[6] = {VEL_SetTimeout(250), VEL_RemoveProbe(INVALID_HANDLE_VALUE),
                            VEL_CreateProbe("KV21", &port, "/dev/kv210-none"), VEL_ReadBattery(INVALID_HANDLE_VALUE, &value),
                            VEL_Model((HANDLE)1, text, &length), VEL_SetFilter(INVALID_HANDLE_VALUE, 9)};
    const int32_t want[6] = {VEL_OK, VEL_INVALID_HANDLE, VEL_PORT_NOT_FOUND, 1, 0, 6};
    int failures = 0, i;

    for (i = 0; i < 6; ++i)
        if (got[i] != want[i]) printf("call %d: got %d, want %d\n", i, (int)got[i], (int)want[i]), ++failures;
    if (port != INVALID_HANDLE_VALUE || length != 6)
        printf("out-arguments: port not invalid or length %d\n", (int)length), ++failures;
    puts(failures ? "consumer: FAILED" : "consumer: ok");
    return failures != 0;
}
