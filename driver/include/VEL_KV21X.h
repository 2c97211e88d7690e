/*
 * VEL_KV21X — driver library for KV210 series field probes.
 *
 * A probe talks over a serial line at 9600 baud, 8 data bits, no parity,
 * 1 stop bit. Open it with VEL_CreateProbe, pass the handle it returns to the
 * other functions, and close it with VEL_RemoveProbe.
 *
 * Every function returns an int32_t result code (table below); 0 is success.
 * Out-arguments and caller buffers are written only on success — with one
 * exception: VEL_CreateProbe always writes *port. Text is returned as
 * fixed-width characters exactly as the probe sent them, with NO terminating
 * NUL, together with its length; nothing is written beyond that length.
 *
 * Threads: the library starts no threads and takes no locks. The reply
 * time-out and the cached probe data block are shared by the whole process,
 * so callers serialise all calls into the library (even on different ports).
 *
 * Result codes
 *   0  VEL_OK               success
 *   1  VEL_INVALID_HANDLE   the handle is INVALID_HANDLE_VALUE; or (VEL_CreateProbe)
 *                           opening the port failed for a reason other than 2 or 7
 *   2  VEL_PORT_NOT_FOUND   the port device does not exist
 *   3  VEL_NULL_ARGUMENT    a pointer argument is NULL; nothing was sent
 *   4  VEL_WRONG_REPLY      the reply did not start with the command's letter
 *   6  VEL_OUT_OF_RANGE     a setting value is out of range (nothing was sent)
 *   7  VEL_ACCESS_DENIED    the port is held by another program, or permission denied
 *   8  VEL_TIMEOUT          no complete reply came within the reply time-out
 *   9  VEL_PORT_SETUP       reading or setting line settings or port time-outs failed
 *  10  VEL_WRITE_FAILED     writing the command frame failed
 *  11  VEL_READ_FAILED      reading from the port failed (e.g. the device went away)
 *  13  VEL_NOT_CONFIRMED    the probe did not confirm a setting
 *  14  VEL_WRONG_MODEL      the probe's model differs from the expected one
 *  15  VEL_ABOVE_LIMIT      a field value lies above the probe's field limit
 *  16  VEL_INVALID_VALUE    a field value is negative or not a number
 *  17  VEL_CLOSE_FAILED     closing the port failed
 *  18  VEL_PURGE_FAILED     purging the port failed (e.g. the device went away)
 * Codes 5 and 12 are not used.
 *
 * Time-out: a command waits for its reply while fewer whole seconds than the
 * reply time-out (0.5 s at load, see VEL_SetTimeout) have elapsed since it was
 * written; each read ends after 50 ms of silence following a byte or after
 * 50 ms per byte + 50 ms. Elapsed time counts whole seconds, so with 0.5 s the
 * wait ends with the first read that finishes after the second changes: a
 * silent probe is reported (8) between one read (50 ms x n + 50 ms for a reply
 * of n bytes) and one second plus one read after the command - 0.2 to 1.2 s for
 * a 3-byte reply, 0.95 to about 1.95 s for the 18-byte version reply. The probe
 * data read at opening can take up to 19.2 s.
 *
 * The line after a call: a real line delivers about one byte a millisecond, so
 * a reply can still be arriving when a call has what it asked for. Before it
 * returns, VEL_SerialNumber takes in the rest of the probe's usual 33-byte
 * reply (about 23 ms); VEL_CreateProbe takes in the rest of a data block that
 * paused after its first 256 bytes; and after a wrong reply letter (4, 13) or
 * a time-out (8) during which bytes did arrive, the rest is read and dropped.
 * Each ends once the line has been quiet for 50 ms (one second at most).
 * Nothing else is drained: bytes that a probe sends after a complete reply of
 * the expected length are left to the next command. Its purge drops those
 * that have arrived by then; the rest become the start of its reply, giving a
 * wrong letter (4, 13) or, if they begin with the letter it expects, a wrong
 * value.
 *
 * Ports someone else holds: on Linux VEL_CreateProbe returns 7, without
 * touching the line, when the device is the system console, when it is in
 * exclusive mode (TIOCEXCL, as Qt programs set it; also seen by root; not on a
 * pseudo-terminal, where the mode outlives a holder that was killed), when a
 * lock file of it (LCK..<name> in /var/lock, /run/lock and the other usual
 * lock directories, for the name given and, for a link, for the device
 * itself) is held with flock, names a running process (Qt's format, UUCP's
 * ASCII PID right- or left-aligned or bare, and the binary one), or cannot be
 * read, or when another process has the device open (minicom, picocom
 * --nolock, a shell's "exec 3<>/dev/ttyUSB0"): found in /proc, where a process
 * that also holds the master of a pseudo-terminal is that terminal's far end
 * and does not count. Processes of other users are visible in /proc to root
 * only; for other users such a holder is not detected unless it set exclusive
 * mode or a lock file. A lock file is never removed while its process lives
 * or when it cannot be read (remove it yourself if no program uses the port).
 * A stale one (no flock, its process gone) is removed; where it may not be
 * (another user's, in the sticky /run/lock) the library goes on without a lock
 * file of its own there. While the library holds a port it keeps a lock file
 * (where it may write one), flock on the device and, on a real port,
 * exclusive mode, so later openers that check any of these find it busy.
 *
 * Port names are passed to the operating system unchanged: "/dev/ttyUSB0" on
 * Linux; "COM3" on Windows, where ports above COM9 need the device prefix,
 * written in C as "\\\\.\\COM10".
 */
#ifndef VEL_KV21X_H
#define VEL_KV21X_H

#include <stdint.h>

#if defined(_WIN32)
#  include <windows.h>
#else
/* Pointer-sized handle as on Windows. A typedef may be repeated with the same
   type, so a program that declares HANDLE as void * itself does not clash. */
typedef void *HANDLE;
#  ifndef INVALID_HANDLE_VALUE
#    define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#  endif
#endif

#if defined(_WIN32) && !defined(_WIN64)
#  define VEL_CALL __stdcall
#else
#  define VEL_CALL
#endif

#if defined(VEL_KV21X_STATIC)
#  define VEL_API
#elif defined(_WIN32)
#  if defined(VEL_KV21X_BUILDING)
#    define VEL_API __declspec(dllexport)
#  else
#    define VEL_API __declspec(dllimport)
#  endif
#else
#  define VEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum VEL_Result {
    VEL_OK = 0,
    VEL_INVALID_HANDLE = 1,
    VEL_PORT_NOT_FOUND = 2,
    VEL_NULL_ARGUMENT = 3,
    VEL_WRONG_REPLY = 4,
    VEL_OUT_OF_RANGE = 6,
    VEL_ACCESS_DENIED = 7,
    VEL_TIMEOUT = 8,
    VEL_PORT_SETUP = 9,
    VEL_WRITE_FAILED = 10,
    VEL_READ_FAILED = 11,
    VEL_NOT_CONFIRMED = 13,
    VEL_WRONG_MODEL = 14,
    VEL_ABOVE_LIMIT = 15,
    VEL_INVALID_VALUE = 16,
    VEL_CLOSE_FAILED = 17,
    VEL_PURGE_FAILED = 18
};

/* ---- Connection ---------------------------------------------------------- */

/* Opens portName exclusively, sets 9600 8N1, checks that the probe's model
 * starts with the four characters at expectedModel (shorter if a NUL comes
 * first; exactly four bytes are read), and caches the probe data block
 * (field limit, name, calibration date) for the whole process.
 * *port receives the handle, also when a later step fails (close it with
 * VEL_RemoveProbe), and INVALID_HANDLE_VALUE when the port could not be opened.
 * 7: the port is held by another program (see "Ports someone else holds")
 * or may not be opened (on Linux: the user is not in the dialout group).
 * Returns 0, 1, 2, 3, 4, 7, 8, 9, 10, 11, 14, 18. */
VEL_API int32_t VEL_CALL VEL_CreateProbe(const char *expectedModel, HANDLE *port,
                                         const char *portName);

/* Closes the port. Returns 0, 1, 17. The cached data block and the time-out stay. */
VEL_API int32_t VEL_CALL VEL_RemoveProbe(HANDLE port);

/* Sets the process-wide reply time-out to milliseconds x 0.001 s (in single
 * precision). Not range-checked: 0 or less makes every reply that is not
 * complete in its first read a time-out. Always returns 0. */
VEL_API int32_t VEL_CALL VEL_SetTimeout(int32_t milliseconds);

/* ---- Identity ------------------------------------------------------------ */
/* text receives the characters without terminator, *length their count. */

/* Firmware release and date from the version reply: 10 characters, or 11 when
 * the reply does not hold exactly ten between ':' and ';'. Buffer: 11 bytes.
 * Returns 0, 1, 3, 4, 8, 10, 11, 18. */
VEL_API int32_t VEL_CALL VEL_Firmware(HANDLE port, char *text, int32_t *length);

/* Serial number: 10 characters. Buffer: 10 bytes. Returns 0, 1, 3, 4, 8, 10, 11, 18.
 * The probe's reply goes on for 22 more characters after the ones returned;
 * the call returns once they are in (33 bytes in all, about 23 ms more on the
 * line) or the line has been quiet for 50 ms. */
VEL_API int32_t VEL_CALL VEL_SerialNumber(HANDLE port, char *text, int32_t *length);

/* Probe name from the cached data block: 6 characters. Buffer: 6 bytes.
 * No I/O: any handle but INVALID_HANDLE_VALUE gives the data of the probe
 * opened last (all zero bytes before any opening). Returns 0, 1, 3. */
VEL_API int32_t VEL_CALL VEL_ProbeName(HANDLE port, char *text, int32_t *length);

/* Same 6 characters as VEL_ProbeName. Returns 0, 1, 3. */
VEL_API int32_t VEL_CALL VEL_Model(HANDLE port, char *text, int32_t *length);

/* Calibration date from the cached data block: 8 characters. Buffer: 8 bytes.
 * Returns 0, 1, 3. */
VEL_API int32_t VEL_CALL VEL_CalibrationDate(HANDLE port, char *text, int32_t *length);

/* ---- Measurements -------------------------------------------------------- */

/* Battery voltage in volts. Returns 0, 1, 3, 4, 8, 10, 11, 18. */
VEL_API int32_t VEL_CALL VEL_ReadBattery(HANDLE port, float *value);

/* Probe temperature. Returns 0, 1, 3, 4, 8, 10, 11, 18. */
VEL_API int32_t VEL_CALL VEL_ReadTemperature(HANDLE port, float *value);

/* Total field. 16 when the probe reports a negative or invalid value, 15 when
 * it lies above the probe's field limit (0 until a probe has been opened).
 * Returns 0, 1, 3, 4, 8, 10, 11, 15, 16, 18. */
VEL_API int32_t VEL_CALL VEL_ReadTotalField(HANDLE port, float *value);

/* The three axis values, in the order the probe sends them; 16 and 15 as for
 * the total field (16 wins when both apply). Returns as VEL_ReadTotalField. */
VEL_API int32_t VEL_CALL VEL_ReadAxisField(HANDLE port, float *first, float *second,
                                           float *third);

/* ---- Settings ------------------------------------------------------------ */

/* Measuring frequency in hundredths of the probe's frequency unit (123 = 1.23).
 * Confirmed when the probe's echo x 100, truncated, equals setting (else 13).
 * A setting below -999999 or above 9999999 does not fit the command and
 * returns 6 with nothing sent. Returns 0, 1, 4, 6, 8, 10, 11, 13, 18. */
VEL_API int32_t VEL_CALL VEL_SetFrequency(HANDLE port, int32_t setting);

/* Filter 0..7; out of range gives 6 before the handle is looked at.
 * Returns 0, 1, 6, 8, 10, 11, 13, 18. */
VEL_API int32_t VEL_CALL VEL_SetFilter(HANDLE port, int32_t setting);

/* Automatic switch-off time in seconds, 0..10800; out of range gives 6 before
 * the handle is looked at. Returns 0, 1, 6, 8, 10, 11, 13, 18. */
VEL_API int32_t VEL_CALL VEL_SetAutoOffTime(HANDLE port, int32_t setting);

#ifdef __cplusplus
}
#endif

#endif /* VEL_KV21X_H */
