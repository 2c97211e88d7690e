/*
 * Drives VEL_KV21X.dll as an application does (public header, import library):
 * makes the calls named on the command line on one port and prints a line for
 * each: the call, its result code, what it handed back (text as "length text";
 * -1 and "~" where the library wrote nothing). wine_harness.cpp holds the
 * expected lines.   wine_test PORT CALL...
 * CALL: open:MODEL[:PORT] close timeout:MS firmware serial name model calibration
 *       battery temperature field axis frequency:N filter:N autooff:N,
 *       with a leading "!" on INVALID_HANDLE_VALUE instead of the open port.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "VEL_KV21X.h"

typedef int32_t(VEL_CALL *TextCall)(HANDLE, char *, int32_t *);
typedef int32_t(VEL_CALL *ValueCall)(HANDLE, float *);
typedef int32_t(VEL_CALL *SetCall)(HANDLE, int32_t);

static const struct { const char *name; TextCall call; } texts[] = {
    {"firmware", VEL_Firmware}, {"serial", VEL_SerialNumber}, {"name", VEL_ProbeName},
    {"model", VEL_Model},       {"calibration", VEL_CalibrationDate}};
static const struct { const char *name; ValueCall call; } values[] = {
    {"battery", VEL_ReadBattery}, {"temperature", VEL_ReadTemperature}, {"field", VEL_ReadTotalField}};
static const struct { const char *name; SetCall call; } settings[] = {
    {"frequency", VEL_SetFrequency}, {"filter", VEL_SetFilter}, {"autooff", VEL_SetAutoOffTime}};

static int call(const char *word, const char *port, HANDLE *open) {
    const HANDLE h = word[0] == '!' ? INVALID_HANDLE_VALUE : *open;
    const char *name = word + (word[0] == '!');
    const char *argument = strchr(name, ':') ? strchr(name, ':') + 1 : "";
    const size_t length = strcspn(name, ":");
    char text[16];
    int32_t count = -1;
    float v[3] = {-1.0f, -1.0f, -1.0f};
    size_t i;
#define IS(s) (length == strlen(s) && strncmp(name, s, length) == 0)
    memset(text, '~', sizeof text);
    printf("%s ", word);
    if (IS("open")) {
        char model[16];
        HANDLE got = NULL;
        const char *other = strchr(argument, ':');
        int32_t rc;
        snprintf(model, sizeof model, "%.*s", (int)strcspn(argument, ":"), argument);
        rc = VEL_CreateProbe(model, &got, other ? other + 1 : port);
        if (*open == INVALID_HANDLE_VALUE) *open = got;
        return printf("%d %s\n", (int)rc, got == INVALID_HANDLE_VALUE ? "no-handle" : "handle");
    }
    if (IS("close")) {
        const int32_t rc = VEL_RemoveProbe(h);
        if (h == *open) *open = INVALID_HANDLE_VALUE;
        return printf("%d\n", (int)rc);
    }
    if (IS("timeout")) return printf("%d\n", (int)VEL_SetTimeout(atoi(argument)));
    if (IS("axis")) {
        const int32_t rc = VEL_ReadAxisField(h, &v[0], &v[1], &v[2]);
        return printf("%d %g %g %g\n", (int)rc, (double)v[0], (double)v[1], (double)v[2]);
    }
    for (i = 0; i < sizeof texts / sizeof texts[0]; ++i)
        if (IS(texts[i].name)) {
            const int32_t rc = texts[i].call(h, text, &count);
            const int shown = count >= 0 && count <= 16 ? (int)count : 1;
            return printf("%d %d %.*s\n", (int)rc, (int)count, shown, text);
        }
    for (i = 0; i < sizeof values / sizeof values[0]; ++i)
        if (IS(values[i].name)) {
            const int32_t rc = values[i].call(h, &v[0]);
            return printf("%d %g\n", (int)rc, (double)v[0]);
        }
    for (i = 0; i < sizeof settings / sizeof settings[0]; ++i)
        if (IS(settings[i].name)) return printf("%d\n", (int)settings[i].call(h, atoi(argument)));
    printf("unknown call\n");
    return -1;
}

int main(int argc, char **argv) {
    HANDLE open = INVALID_HANDLE_VALUE;
    int i;
    setvbuf(stdout, NULL, _IONBF, 0);
    for (i = 2; i < argc; ++i)
        if (call(argv[i], argv[1], &open) < 0) return 2;
    return 0;
}
