/* Opens a KV210 probe, prints its identity and one set of readings with the
 * result code of every call, and closes it. Exits 1 when any call failed,
 * naming the calls on stderr.
 *   probe_info /dev/ttyUSB0 [KV21]
 */
#include <stdio.h>
#include <string.h>

#include <VEL_KV21X.h>

static int failures;

/* Counts a failed call and names it on stderr. */
static int32_t check(const char *call, int32_t rc)
{
    if (rc != VEL_OK) {
        ++failures;
        fprintf(stderr, "probe_info: %s failed with result code %d\n", call, (int)rc);
    }
    return rc;
}

static void print_text(const char *call, int32_t rc, const char *text, int32_t length)
{
    check(call, rc);
    printf("%-20s rc=%-2d ", call, (int)rc);
    if (rc == VEL_OK) {
        /* Fixed-width text without terminator; show odd bytes escaped. */
        putchar('"');
        for (int32_t i = 0; i < length; ++i) {
            unsigned char c = (unsigned char)text[i];
            if (c >= 32 && c < 127) putchar(c);
            else printf("\\x%02X", c);
        }
        putchar('"');
    }
    putchar('\n');
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [MODEL]\n", argv[0]);
        return 2;
    }
    const char *model = argc > 2 ? argv[2] : "KV21";
    HANDLE port = INVALID_HANDLE_VALUE;
    int32_t rc = VEL_CreateProbe(model, &port, argv[1]);
    printf("%-20s rc=%d\n", "VEL_CreateProbe", (int)rc);
    if (check("VEL_CreateProbe", rc) != VEL_OK) {
        if (port != INVALID_HANDLE_VALUE) VEL_RemoveProbe(port);
        return 1;
    }

    char text[16];
    int32_t length = 0;
    rc = VEL_Firmware(port, text, &length);        print_text("VEL_Firmware", rc, text, length);
    rc = VEL_SerialNumber(port, text, &length);    print_text("VEL_SerialNumber", rc, text, length);
    rc = VEL_ProbeName(port, text, &length);       print_text("VEL_ProbeName", rc, text, length);
    rc = VEL_Model(port, text, &length);           print_text("VEL_Model", rc, text, length);
    rc = VEL_CalibrationDate(port, text, &length); print_text("VEL_CalibrationDate", rc, text, length);

    float value = 0, x = 0, y = 0, z = 0;
    rc = check("VEL_ReadBattery", VEL_ReadBattery(port, &value));
    printf("%-20s rc=%-2d %.4f V\n", "VEL_ReadBattery", (int)rc, rc == VEL_OK ? value : 0.0f);
    rc = check("VEL_ReadTemperature", VEL_ReadTemperature(port, &value));
    printf("%-20s rc=%-2d %.4f\n", "VEL_ReadTemperature", (int)rc, rc == VEL_OK ? value : 0.0f);
    rc = check("VEL_ReadTotalField", VEL_ReadTotalField(port, &value));
    printf("%-20s rc=%-2d %.4f\n", "VEL_ReadTotalField", (int)rc, rc == VEL_OK ? value : 0.0f);
    rc = check("VEL_ReadAxisField", VEL_ReadAxisField(port, &x, &y, &z));
    if (rc == VEL_OK) printf("%-20s rc=%-2d %.4f %.4f %.4f\n", "VEL_ReadAxisField", (int)rc, x, y, z);
    else printf("%-20s rc=%d\n", "VEL_ReadAxisField", (int)rc);

    rc = check("VEL_RemoveProbe", VEL_RemoveProbe(port));
    printf("%-20s rc=%d\n", "VEL_RemoveProbe", (int)rc);
    return failures == 0 ? 0 : 1;
}
