/*
 * A Windows program that uses VEL_KV21X.dll the way an application does:
 * built against the public header, linked with the import library, talking
 * to a probe on a COM port. The harness (wine_harness.cpp) runs it under Wine
 * against the simulated probe of wine_probe.h, one scenario per run, and
 * checks the frames the probe received.
 *
 *   wine_test PORT SCENARIO
 *   SCENARIO: arch | identity | readings | settings | timeout | wrong-letter | open-errors
 *
 * Prints one line per check and a summary line; exits 0 when every check passed.
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "VEL_KV21X.h"
#include "wine_probe.h"

static int checks;
static int failures;

static void report(int ok, const char *format, ...) {
    va_list args;
    ++checks;
    if (!ok) ++failures;
    fputs(ok ? "ok   " : "FAIL ", stdout);
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}

static void expect_rc(const char *call, int32_t got, int32_t want) {
    report(got == want, "%s returns %d (expected %d)", call, (int)got, (int)want);
}
#define EXPECT_RC(call, want) expect_rc(#call, call, want)

static void expect_float(const char *what, float got, float want, float tolerance) {
    const float diff = got > want ? got - want : want - got;
    report(diff <= tolerance, "%s = %.6g (expected %.6g)", what, (double)got, (double)want);
}

/* Filler that shows whether the library wrote into a buffer. */
#define UNTOUCHED '~'

/* Wine accepts a second open of a port that was opened with share mode 0. */
static int under_wine(void) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

static HANDLE open_probe(const char *port) {
    HANDLE h = NULL;
    EXPECT_RC(VEL_CreateProbe(WP_EXPECTED_MODEL, &h, port), VEL_OK);
    report(h != INVALID_HANDLE_VALUE && h != NULL, "VEL_CreateProbe hands out a handle");
    return h;
}

static void scenario_identity(const char *port) {
    static const struct {
        const char *name;
        int32_t(VEL_CALL *call)(HANDLE, char *, int32_t *);
        const char *want;
    } texts[] = {
        {"VEL_ProbeName", VEL_ProbeName, WP_NAME},     {"VEL_Model", VEL_Model, WP_NAME},
        {"VEL_CalibrationDate", VEL_CalibrationDate, WP_CALIBRATION_DATE},
        {"VEL_Firmware", VEL_Firmware, WP_FIRMWARE}, {"VEL_SerialNumber", VEL_SerialNumber, WP_SERIAL},
    };
    HANDLE h = open_probe(port);
    size_t i;
    for (i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        char text[16];
        int32_t length = -1;
        memset(text, UNTOUCHED, sizeof text);
        expect_rc(texts[i].name, texts[i].call(h, text, &length), VEL_OK);
        report(length == (int32_t)strlen(texts[i].want) && memcmp(text, texts[i].want, strlen(texts[i].want)) == 0,
               "%s gives \"%.*s\" (expected \"%s\")", texts[i].name, length > 0 && length <= 16 ? (int)length : 0,
               text, texts[i].want);
    }
    EXPECT_RC(VEL_RemoveProbe(h), VEL_OK);
}

static void scenario_readings(const char *port) {
    float value = -1.0f, first = -1.0f, second = -1.0f, third = -1.0f;
    HANDLE h = open_probe(port);
    EXPECT_RC(VEL_ReadBattery(h, &value), VEL_OK);
    expect_float("battery", value, WP_BATTERY_VOLTS, 0.0f);
    EXPECT_RC(VEL_ReadTemperature(h, &value), VEL_OK);
    expect_float("temperature", value, WP_TEMPERATURE, 0.001f);
    EXPECT_RC(VEL_ReadTotalField(h, &value), VEL_OK);
    expect_float("total field", value, WP_TOTAL_FIELD, 0.0f);
    EXPECT_RC(VEL_ReadAxisField(h, &first, &second, &third), VEL_OK);
    expect_float("axis 1", first, WP_AXIS_1, 0.0f);
    expect_float("axis 2", second, WP_AXIS_2, 0.0f);
    expect_float("axis 3", third, WP_AXIS_3, 0.0f);
    EXPECT_RC(VEL_RemoveProbe(h), VEL_OK);
}

/* The harness checks the frames these calls put on the line, byte for byte. */
static void scenario_settings(const char *port) {
    HANDLE h = open_probe(port);
    EXPECT_RC(VEL_SetFrequency(h, 123), VEL_OK);
    EXPECT_RC(VEL_SetFrequency(h, -5000), VEL_OK);
    EXPECT_RC(VEL_SetFrequency(h, 10000000), VEL_OUT_OF_RANGE);
    EXPECT_RC(VEL_SetFilter(h, 3), VEL_OK);
    EXPECT_RC(VEL_SetFilter(h, 8), VEL_OUT_OF_RANGE);
    EXPECT_RC(VEL_SetFilter(h, -1), VEL_OUT_OF_RANGE);
    EXPECT_RC(VEL_SetFilter(h, 7), VEL_OK);
    EXPECT_RC(VEL_SetAutoOffTime(h, 0), VEL_OK);
    EXPECT_RC(VEL_SetAutoOffTime(h, 10801), VEL_OUT_OF_RANGE);
    EXPECT_RC(VEL_SetAutoOffTime(h, 10800), VEL_OK);
    EXPECT_RC(VEL_RemoveProbe(h), VEL_OK);
}

/* The harness silences the battery reply, cuts the serial number reply to 5
 * bytes and the axis reply to 12. */
static void scenario_timeout(const char *port) {
    float value = -1.0f, a = -1.0f, b = -1.0f, c = -1.0f;
    char text[16];
    int32_t length = -1;
    DWORD took;
    HANDLE h = open_probe(port);

    took = GetTickCount();
    EXPECT_RC(VEL_ReadBattery(h, &value), VEL_TIMEOUT);
    took = GetTickCount() - took;
    report(took < 5000u, "the silent probe is given up after %lu ms", (unsigned long)took); /* only a hang trips it */
    report(value == -1.0f, "VEL_ReadBattery leaves the value alone after a time-out");
    memset(text, UNTOUCHED, sizeof text);
    EXPECT_RC(VEL_SerialNumber(h, text, &length), VEL_TIMEOUT);
    report(length == -1 && text[0] == UNTOUCHED, "VEL_SerialNumber leaves text and length alone");
    EXPECT_RC(VEL_ReadAxisField(h, &a, &b, &c), VEL_TIMEOUT);
    /* The late and cut replies are purged; the next command is answered normally. */
    EXPECT_RC(VEL_ReadTemperature(h, &value), VEL_OK);
    expect_float("temperature", value, WP_TEMPERATURE, 0.001f);
    EXPECT_RC(VEL_RemoveProbe(h), VEL_OK);
}

/* The harness makes the probe answer 's', 'T', 'k' and 'f' with other letters. */
static void scenario_wrong_letter(const char *port) {
    float value = -1.0f;
    char text[16];
    int32_t length = -1;
    HANDLE h = open_probe(port);

    memset(text, UNTOUCHED, sizeof text);
    EXPECT_RC(VEL_SerialNumber(h, text, &length), VEL_WRONG_REPLY);
    report(length == -1 && text[0] == UNTOUCHED, "VEL_SerialNumber leaves text and length alone");
    EXPECT_RC(VEL_ReadTotalField(h, &value), VEL_WRONG_REPLY);
    report(value == -1.0f, "VEL_ReadTotalField leaves the value alone");
    EXPECT_RC(VEL_SetFrequency(h, 123), VEL_WRONG_REPLY);
    EXPECT_RC(VEL_SetFilter(h, 3), VEL_NOT_CONFIRMED);
    EXPECT_RC(VEL_ReadBattery(h, &value), VEL_OK);
    expect_float("battery", value, WP_BATTERY_VOLTS, 0.0f);
    EXPECT_RC(VEL_RemoveProbe(h), VEL_OK);
}

static void scenario_open_errors(const char *port) {
    HANDLE h = NULL, second = NULL;
    float value = -1.0f;

    EXPECT_RC(VEL_CreateProbe(WP_EXPECTED_MODEL, &h, WP_MISSING_PORT), VEL_PORT_NOT_FOUND);
    report(h == INVALID_HANDLE_VALUE, "a port that does not exist leaves INVALID_HANDLE_VALUE");
    EXPECT_RC(VEL_RemoveProbe(INVALID_HANDLE_VALUE), VEL_INVALID_HANDLE);
    EXPECT_RC(VEL_ReadBattery(INVALID_HANDLE_VALUE, &value), VEL_INVALID_HANDLE);
    /* A probe of another model: 14, and the port stays open for the caller to close. */
    h = NULL;
    EXPECT_RC(VEL_CreateProbe(WP_WRONG_MODEL, &h, port), VEL_WRONG_MODEL);
    report(h != INVALID_HANDLE_VALUE && h != NULL, "the wrong model's port handle is handed out");
    EXPECT_RC(VEL_RemoveProbe(h), VEL_OK);

    h = open_probe(port);
    if (under_wine()) {
        printf("skip a second open of the same port: Wine does not enforce share mode 0, "
               "so it would succeed here (on Windows it returns %d)\n", VEL_ACCESS_DENIED);
    } else {
        EXPECT_RC(VEL_CreateProbe(WP_EXPECTED_MODEL, &second, port), VEL_ACCESS_DENIED);
        report(second == INVALID_HANDLE_VALUE, "the refused open leaves INVALID_HANDLE_VALUE");
    }
    EXPECT_RC(VEL_RemoveProbe(h), VEL_OK);
}

int main(int argc, char **argv) {
    static const struct {
        const char *name;
        void (*run)(const char *port);
    } scenarios[] = {
        {"identity", scenario_identity},   {"readings", scenario_readings},
        {"settings", scenario_settings},   {"timeout", scenario_timeout},
        {"wrong-letter", scenario_wrong_letter}, {"open-errors", scenario_open_errors},
    };
    size_t i;

    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && strcmp(argv[2], "arch") == 0) {
        printf("wine_test: %d-bit\n", (int)(sizeof(void *) * 8));
        return 0;
    }
    for (i = 0; argc == 3 && i < sizeof scenarios / sizeof scenarios[0]; ++i) {
        if (strcmp(argv[2], scenarios[i].name) == 0) {
            scenarios[i].run(argv[1]);
            printf("wine_test %s: %d checks, %d failed\n", argv[2], checks, failures);
            return failures == 0 ? 0 : 1;
        }
    }
    fputs("usage: wine_test PORT arch|identity|readings|settings|timeout|wrong-letter|open-errors\n", stderr);
    return 2;
}
