#include "command_line.h"

namespace velprobe {

const char* const kHelpFooter = R"HELP(
COMMANDS
  ports                 Every serial port, one line each: device, driver, USB
                        vendor:product, manufacturer, product and serial
                        string, whether you may open it, whether it is free or
                        held (by which program), its /dev/serial/by-id name.
                        Pseudo-terminals appear when a program serves them as
                        a port (a simulated probe). Nothing is sent to a port
                        unless --probe asks each free one for a probe's model,
                        firmware and serial number.
  info                  Model, firmware release and date, serial number, probe
                        name and calibration date.
  read                  One reading: battery voltage, temperature, total field
                        and the three axis values.
  watch                 Readings one after another, one line each, every
                        --interval seconds, for --count rows or until Ctrl-C.
                        A field above the probe's limit is shown as over range;
                        a reading that fails is a row with its result code,
                        and the next one is tried at its time. A port that goes
                        away is reported once and reopened every 2 s; a row
                        marks the gap. At the end a summary goes to standard
                        error. --stop-on-error ends at the first failure.
  set-frequency VALUE   The measuring frequency in the probe's frequency unit,
                        0 to 99999.99 with at most 2 decimals, taken exactly as
                        written: 1.23 is sent as 123 hundredths. The probe must
                        echo it back.
  set-filter N          The filter, 0 to 7.
  set-auto-off SECONDS  The automatic switch-off time, 0 to 10800 seconds.
  serve --port DEVICE [--port DEVICE ...] [--listen HOST:PORT] [--interval S]
                        Read probes continuously and serve them over HTTP: a
                        live page, Prometheus metrics and a JSON API
                        ('velprobe serve --help').
  'velprobe COMMAND --help' shows a command's own options. Options may stand
  before or after the command, and --name=value works too.

PORTS
  --port takes /dev/ttyUSB0, /dev/ttyACM0, /dev/serial/by-id/... or a simulated
  probe's device. --port auto asks every free port (as ports --probe does) and
  takes the one where a probe of --model answers; with none or several it stops
  and lists what each port gave. --timeout is counted by the library in whole
  seconds, so a silent probe is reported up to about 2 s after it; opening also
  reads the probe's data block, which can take up to 20 s on a poor line.

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
    over_range           watch: the fields above the probe's limit (their
                         values are null in JSON, empty in CSV; the library
                         withholds all three axes together)
    error                watch: the result code of a failed reading
    gap_s                watch: seconds without readings while the port was
                         gone
    note                 watch: the failure or the gap in words
    model firmware serial_number name calibration_date
                         info: the model of the version reply, the probe name
                         and calibration date of the probe's data block
    frequency frequency_hundredths   filter   auto_off_s
                         the setting made (set-frequency, set-filter,
                         set-auto-off)
  JSON and CSV give identity texts as the fixed-width bytes the probe sent;
  text leaves out the NULs that pad them. Text and CSV show a byte that is not
  printable ASCII as \xNN and a backslash as \\; JSON uses its escapes, with
  \u0080 to \u00ff for bytes 0x80 to 0xFF. ports --json gives one object a
  line.

EXIT STATUS
  0    Success. watch also ends with 0 when stopped by Ctrl-C or --count, when
       the reader of its output goes away, and with failed readings in its log.
  1    The probe or the port failed in use: no reply in time, an unexpected
       reply, a probe of another model, a setting not confirmed, a field value
       over range or invalid, a lost port; or the output could not be written.
  2    Usage error: unknown command or option, a missing or invalid value.
       Nothing is sent to the probe.
  3    The port could not be opened: no such device, busy (held by another
       program), no permission, or not a serial port; --port auto found no
       probe or several.
  130  Stopped by Ctrl-C (or SIGTERM, SIGHUP) before the command was done.
  Error messages go to standard error and name the library call that failed,
  its result code and what the code means. The port is closed on every path,
  Ctrl-C included.

PORT ACCESS
  The port is opened exclusively: a port that another program holds is
  reported busy, with the program when its lock file or open descriptor shows
  it (only root sees the programs of other users). Reading and writing a serial
  device takes membership in the group that owns it, on Debian and Ubuntu
  'dialout':
    sudo usermod -aG dialout "$USER"     (then log out and in again)

EXAMPLES
  velprobe ports --probe
  velprobe --port auto info
  velprobe -p /dev/ttyUSB0 read --json
  velprobe -p /dev/ttyUSB0 watch --interval 0.5 --csv > field.csv
  velprobe -p /dev/ttyUSB0 set-frequency 1.23
  A simulated probe in the background, ready when kv210-sim returns:
    kv210-sim --link /tmp/kv210 --daemon --pidfile /tmp/kv210.pid
    velprobe -p /tmp/kv210 read
    kill "$(cat /tmp/kv210.pid)"
)HELP";

}  // namespace velprobe
