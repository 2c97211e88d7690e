// velprobe ports, and --port auto: which port the probe is on.
#include <memory>

#include "commands.h"
#include "interrupt.h"
#include "ports.h"

namespace velprobe {
namespace {

// Why a port is not asked for a probe; empty when it may be.
std::string notAsked(const PortInfo& port) {
  if (port.console) return "the system console";
  if (!port.holders.empty()) return "held by " + describe(port.holders.front());
  if (!port.access.allowed) return "no permission";
  return {};
}

std::string answerText(const Answer& answer, const std::string& model) {
  const std::string identity =
      escapeText(answer.model) + " " + escapeText(answer.firmware) + " " + escapeText(answer.serialNumber);
  switch (answer.code) {
    case VEL_OK: return identity;
    case VEL_WRONG_MODEL: return identity + " (not a " + model + " model)";
    case VEL_TIMEOUT: return "no answer";
    case VEL_ACCESS_DENIED: return "busy";
    default: return std::string("no probe: ") + describe(answer.code).name;
  }
}

Field optionalText(const char* key, const char* label, const std::string& value) {
  Field field = textField(key, label, value);
  if (value.empty()) field.json = nullptr;
  return field;
}

std::string accessText(const vel::ownership::Access& access) {
  if (access.allowed) return "yes";
  if (!access.group.empty()) return "no: join group " + access.group;
  if (access.othersPseudoTerminal) return "no: " + access.owner + "'s program";
  return "no (" + access.owner + " only)";
}

// What --probe found on a port, for people and for JSON (null when no probe answered).
struct ProbeResult {
  std::string text;
  JsonValue json;
};

ProbeResult probePort(const PortInfo& port, const GlobalOptions& o) {
  const std::string& model = o.model;
  const std::string skip = notAsked(port);
  if (!skip.empty()) return {"not asked: " + skip, nullptr};
  const Answer answer = Probe::ask(port.device, model, o.timeoutMs);
  if (answer.code != VEL_OK && answer.code != VEL_WRONG_MODEL) return {answerText(answer, model), nullptr};
  return {answerText(answer, model),
          {{"model", jsonText(answer.model)},
           {"firmware", jsonText(answer.firmware)},
           {"serial_number", jsonText(answer.serialNumber)},
           {"model_accepted", answer.code == VEL_OK}}};
}

Record portRecord(const PortInfo& port, const std::optional<ProbeResult>& probe) {
  std::string state = port.console ? "the system console" : "free", holders;
  JsonValue heldBy = JsonValue::array();
  for (const Holder& holder : port.holders) {
    holders += (holders.empty() ? "" : ", ") + describe(holder);
    heldBy.push_back({{"pid", holder.pid}, {"program", holder.program}});
  }
  const std::string stateKey = holders.empty() ? (port.console ? "console" : "free") : "held";
  if (!holders.empty()) state = "held by " + holders;
  Record record = {optionalText("device", "Device", port.device),
                   optionalText("driver", "Driver", port.driver),
                   optionalText("usb_id", "USB ID", port.usbId),
                   optionalText("manufacturer", "Manufacturer", port.manufacturer),
                   optionalText("product", "Product", port.product),
                   optionalText("serial", "Serial", port.serial),
                   // People read access and state in words; machines get a flag and a keyword.
                   Field{"access", "Access", "", accessText(port.access), port.access.allowed,
                         port.access.allowed ? "yes" : "no"},
                   optionalText("group", "", port.access.group),
                   Field{"state", "State", "", state, stateKey, stateKey},
                   noteField("held_by", "", heldBy, holders)};
  if (probe) record.push_back(Field{"probe", "Probe", "", probe->text, probe->json, csvCell(probe->text)});
  record.push_back(optionalText("by_id", "By id", port.byId));
  return record;
}

int ports(const GlobalOptions& o, bool probe, Output& out) {
  std::vector<Record> records;
  for (const PortInfo& port : listPorts()) {
    std::optional<ProbeResult> found;
    if (probe) found = probePort(port, o);
    if (stopRequested()) return kExitInterrupted;
    records.push_back(portRecord(port, found));
  }
  if (records.empty() && o.format == Format::Text)
    out.write("No serial ports found.\n");
  else
    out.write(renderList(o.format, records));
  return kExitOk;
}

}  // namespace

std::string findProbePort(const std::string& model, std::optional<int32_t> timeoutMs) {
  std::vector<std::string> found;
  std::string seen;
  for (const PortInfo& port : listPorts()) {
    const std::string skip = notAsked(port);
    const Answer answer = skip.empty() ? Probe::ask(port.device, model, timeoutMs) : Answer{};
    if (stopRequested()) throw Failure("stopped while looking for the probe", kExitInterrupted);
    if (skip.empty() && answer.code == VEL_OK) found.push_back(port.device);
    seen += "\n  " + port.device + ": " + (skip.empty() ? answerText(answer, model) : "not asked, " + skip);
  }
  if (found.size() == 1) {
    std::fprintf(stderr, "velprobe: the probe answers on %s\n", found.front().c_str());
    return found.front();
  }
  if (seen.empty()) seen = "\n  (no serial ports found)";
  throw Failure((found.empty() ? "--port auto: no " + model + " probe answers on any port"
                               : "--port auto: " + std::to_string(found.size()) +
                                     " probes answer; choose one with --port") +
                    seen,
                kExitPort);
}

void addPortsCommand(CommandLine& commandLine) {
  auto probe = std::make_shared<bool>(false);
  commandLine
      .add("ports", "the serial ports: who holds them, where a probe is",
           [probe](const GlobalOptions& o, Output& out) { return ports(o, *probe, out); })
      .add_flag("--probe", *probe, "ask each free port for a probe (sends to it)");
}

}  // namespace velprobe
