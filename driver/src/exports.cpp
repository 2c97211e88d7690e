// The exported C functions: a thin layer over the core (probe_commands.h) with the
// process-wide time-out and data block and the handle as the caller's only
// state. The core reports by result code alone (it is noexcept throughout:
// the port layer turns a failed allocation into a failed opening).
#include <cstring>

#include "exports.h"

namespace vel {

float ReplyTimeout = 0.5f;
DataBlock ProbeDataBlock{};

}  // namespace vel

using namespace vel;

namespace {

Link LinkOf(HANDLE port) noexcept { return {reinterpret_cast<port::Handle>(port), ReplyTimeout}; }

// Checks the handle, then the caller's pointers, then runs the call.
template <typename Call>
int32_t Checked(HANDLE port, bool argumentsGiven, Call&& call) noexcept {
  if (port == INVALID_HANDLE_VALUE) return VEL_INVALID_HANDLE;
  if (!argumentsGiven) return VEL_NULL_ARGUMENT;
  return call(LinkOf(port));
}

int32_t GiveText(const Text& text, char* out, int32_t* length) noexcept {
  std::memcpy(out, text.bytes.data(), text.size);
  *length = static_cast<int32_t>(text.size);
  return VEL_OK;
}

int32_t GiveText(std::string_view text, char* out, int32_t* length) noexcept {
  std::memcpy(out, text.data(), text.size());
  *length = static_cast<int32_t>(text.size());
  return VEL_OK;
}

}  // namespace

extern "C" VEL_API int32_t VEL_CALL VEL_CreateProbe(const char* expectedModel, HANDLE* port,
                                                    const char* portName) {
  if (port == nullptr) return VEL_NULL_ARGUMENT;
  *port = INVALID_HANDLE_VALUE;
  if (expectedModel == nullptr || portName == nullptr) return VEL_NULL_ARGUMENT;
  port::Handle handle = port::kInvalidHandle;
  VersionReply version;
  const int32_t rc = OpenProbe(portName, expectedModel, ReplyTimeout, handle, version, ProbeDataBlock);
  *port = reinterpret_cast<HANDLE>(handle);
  return rc;
}

extern "C" VEL_API int32_t VEL_CALL VEL_RemoveProbe(HANDLE port) {
  if (port == INVALID_HANDLE_VALUE) return VEL_INVALID_HANDLE;
  return port::active().close(reinterpret_cast<port::Handle>(port)) == 0 ? VEL_OK : VEL_CLOSE_FAILED;
}

extern "C" VEL_API int32_t VEL_CALL VEL_SetTimeout(int32_t milliseconds) {
  ReplyTimeout = ReplyTimeoutOf(milliseconds);
  return VEL_OK;
}

extern "C" VEL_API int32_t VEL_CALL VEL_Firmware(HANDLE port, char* text, int32_t* length) {
  return Checked(port, text && length, [&](const Link& link) {
    VersionReply version;
    const int32_t rc = QueryVersion(link, version);
    return rc == VEL_OK ? GiveText(version.firmware(), text, length) : rc;
  });
}

extern "C" VEL_API int32_t VEL_CALL VEL_SerialNumber(HANDLE port, char* text, int32_t* length) {
  return Checked(port, text && length, [&](const Link& link) {
    Text serial;
    const int32_t rc = QuerySerialNumber(link, serial);
    return rc == VEL_OK ? GiveText(serial, text, length) : rc;
  });
}

// VEL_Model gives the same bytes as VEL_ProbeName; neither uses the handle.
extern "C" VEL_API int32_t VEL_CALL VEL_ProbeName(HANDLE port, char* text, int32_t* length) {
  return Checked(port, text && length, [&](const Link&) { return GiveText(ProbeName(ProbeDataBlock), text, length); });
}

extern "C" VEL_API int32_t VEL_CALL VEL_Model(HANDLE port, char* text, int32_t* length) {
  return Checked(port, text && length, [&](const Link&) { return GiveText(ProbeName(ProbeDataBlock), text, length); });
}

extern "C" VEL_API int32_t VEL_CALL VEL_CalibrationDate(HANDLE port, char* text, int32_t* length) {
  return Checked(port, text && length,
                 [&](const Link&) { return GiveText(CalibrationDate(ProbeDataBlock), text, length); });
}

extern "C" VEL_API int32_t VEL_CALL VEL_ReadBattery(HANDLE port, float* value) {
  return Checked(port, value, [&](const Link& link) { return ReadBattery(link, *value); });
}

extern "C" VEL_API int32_t VEL_CALL VEL_ReadTemperature(HANDLE port, float* value) {
  return Checked(port, value, [&](const Link& link) { return ReadTemperature(link, *value); });
}

extern "C" VEL_API int32_t VEL_CALL VEL_ReadTotalField(HANDLE port, float* value) {
  return Checked(port, value, [&](const Link& link) { return ReadTotalField(link, ProbeDataBlock, *value); });
}

extern "C" VEL_API int32_t VEL_CALL VEL_ReadAxisField(HANDLE port, float* first, float* second, float* third) {
  return Checked(port, first && second && third, [&](const Link& link) {
    std::array<float, 3> axis{};
    const int32_t rc = ReadAxisField(link, ProbeDataBlock, axis);
    if (rc == VEL_OK) *first = axis[0], *second = axis[1], *third = axis[2];
    return rc;
  });
}

// The settings check their value before the handle: no pointer to check.
extern "C" VEL_API int32_t VEL_CALL VEL_SetFrequency(HANDLE port, int32_t setting) {
  return SetFrequency(LinkOf(port), setting);
}

extern "C" VEL_API int32_t VEL_CALL VEL_SetFilter(HANDLE port, int32_t setting) {
  return SetFilter(LinkOf(port), setting);
}

extern "C" VEL_API int32_t VEL_CALL VEL_SetAutoOffTime(HANDLE port, int32_t setting) {
  return SetAutoOffTime(LinkOf(port), setting);
}
