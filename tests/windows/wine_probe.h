/*
 * The probe the Wine tests talk to: what the harness makes the simulated probe
 * report, and what the Windows test program expects the DLL to hand back.
 * Shared by the C test program and the C++ harness, so the two cannot drift.
 */
#ifndef KV210_WINE_PROBE_H
#define KV210_WINE_PROBE_H

/* Identity the simulated probe reports. */
#define WP_MODEL "KV210"
#define WP_RELEASE "1.10"
#define WP_FIRMWARE_DATE "07/10"
#define WP_SERIAL "0424K10123"
#define WP_CALIBRATION_DATE "07/12/26"
#define WP_NAME "KV210A"
#define WP_FIELD_LIMIT 200.0f

/* Raw readings the simulated probe sends. */
#define WP_BATTERY_RAW 0x0300
#define WP_TEMPERATURE_RAW (-1)
#define WP_TOTAL_FIELD_SQUARED 25.0f
#define WP_AXIS_1 1.5f
#define WP_AXIS_2 2.25f
#define WP_AXIS_3 199.0f

/* What the library makes of them. */
#define WP_EXPECTED_MODEL "KV21"
#define WP_WRONG_MODEL "KV22"
#define WP_FIRMWARE "1.10 07/10"
#define WP_BATTERY_VOLTS 3.6f
#define WP_TEMPERATURE (-278.1866f) /* raw -1: -1/1024 * 1.6 - 0.986, times 281.69 */
#define WP_TOTAL_FIELD 5.0f

/* The port the harness maps in the Wine prefix; and one that does not exist. */
#define WP_PORT "COM5"
#define WP_MISSING_PORT "\\\\.\\COM42"

#endif
