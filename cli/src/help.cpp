#include "help.h"

namespace velprobe {

const char* const kHelpText = R"(velprobe - check, read and set up a KV210 field probe on a serial port

USAGE
  velprobe --port DEVICE [OPTIONS] COMMAND [VALUE]

COMMANDS
  info                  Firmware release and date, serial number, name, model
                        and calibration date.
  read                  One reading: battery voltage, temperature, total field
                        and the three axis values.
  watch                 Readings one after another, one line each, every
                        --interval seconds, for --count readings or until
                        Ctrl-C. On a terminal a last line shows the rate.
  set-frequency VALUE   Set the measuring frequency in the probe's frequency
                        unit, 0 to 99999.99 with at most 2 decimals. The value
                        is taken exactly as written: 1.23 is sent as 123
                        hundredths. The probe must echo it back.
  set-filter N          Set the filter, 0 to 7.
  set-auto-off SECONDS  Set the automatic switch-off time, 0 to 10800 seconds.
  serve --port DEVICE [--port DEVICE ...] [--listen HOST:PORT] [--interval S]
                        Read probes continuously and serve them over HTTP: a
                        live page, Prometheus metrics and a JSON API
                        ('velprobe serve --help').

OPTIONS
  -p, --port DEVICE     Serial port of the probe: /dev/ttyUSB0, /dev/ttyACM0,
                        /dev/serial/by-id/..., or a simulated probe's device.
  -m, --model TEXT      The 4 characters the probe's model must begin with
                        (default KV21); another probe is refused.
  -t, --timeout MS      Reply time-out in milliseconds, 1 to 3600000 (default
                        500). It is counted in whole seconds, so a silent probe
                        is reported up to about a second after MS. Opening also
                        reads the probe's data block, which can take up to 20 s
                        on a poor line.
      --json            JSON: one object; watch prints one object per line.
      --csv             CSV: a header row of names (with units), then the rows.
  -i, --interval SECONDS
                        watch: time from one reading to the next, up to 3
                        decimals (default 1; 0 reads as fast as the probe
                        answers).
  -n, --count N         watch: stop after N readings.
  -h, --help            Show this text.
  -V, --version         Show the version.
  Options may stand before or after the command, and --name=value works too.

OUTPUT
  Text is aligned for people, with units and rounded values. JSON and CSV give
  each value exactly as the library returns it (a float in the shortest form
  that reads back as the same float), under these names:
    time                 time of the reading: UTC in ISO 8601 with milliseconds
                         (text: local time)
    battery_V            battery voltage, volts
    temperature_C        probe temperature, degrees Celsius
    total_field          total field, in the probe's field unit
    axis1 axis2 axis3    field of each axis, in the order the probe sends them
    firmware serial_number name model calibration_date
                         identity texts (info)
    frequency frequency_hundredths   filter   auto_off_s
                         the setting made (set-frequency, set-filter,
                         set-auto-off)
  Identity texts are the fixed-width bytes the probe sent, without trimming.
  Text and CSV show a byte that is not printable ASCII as \xNN and a backslash
  as \\; JSON uses its escapes, with \u0080 to \u00ff for bytes 0x80 to 0xFF.

EXIT STATUS
  0    Success. watch also ends with 0 when stopped by Ctrl-C or when the
       reader of its output goes away.
  1    The probe or the port failed in use: no reply in time, an unexpected
       reply, a probe of another model, a setting not confirmed, a field value
       over range or invalid, a lost port; or the output could not be written.
  2    Usage error: unknown command or option, a missing or invalid value.
       Nothing is sent to the probe.
  3    The port could not be opened: no such device, busy (held by another
       program), no permission, or not a serial port.
  130  Stopped by Ctrl-C (or SIGTERM, SIGHUP) before the command was done.
  Error messages go to standard error and name the library call that failed,
  its result code and what the code means. The port is closed on every path,
  Ctrl-C included.

PORT ACCESS
  The port is opened exclusively: a port that another program holds is
  reported busy. Reading and writing a serial device takes membership in the
  group that owns it, on Debian and Ubuntu 'dialout':
    sudo usermod -aG dialout "$USER"     (then log out and in again)

EXAMPLES
  velprobe --port /dev/ttyUSB0 info
  velprobe -p /dev/ttyUSB0 read --json
  velprobe -p /dev/ttyUSB0 watch --interval 0.5 --csv > field.csv
  velprobe -p /dev/ttyUSB0 set-frequency 1.23
  kv210-sim --link /tmp/kv210 &  velprobe -p /tmp/kv210 read
)";

}  // namespace velprobe
