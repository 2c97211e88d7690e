// Wire protocol of the KV210 probe as the library speaks it: command frames,
// reply letters and reply sizes, and the layout of the probe data block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vel::protocol {

// Every library frame goes to the broadcast address "00".
inline constexpr std::string_view kVersionQuery = "#00?v*";
inline constexpr std::string_view kDataBlockQuery = "#00?P*";
inline constexpr std::string_view kSerialQuery = "#00?s*";
inline constexpr std::string_view kBatteryQuery = "#00?b*";
inline constexpr std::string_view kTemperatureQuery = "#00?t*";
inline constexpr std::string_view kTotalFieldQuery = "#00?T*";
inline constexpr std::string_view kAxisFieldQuery = "#00?A*";

// Settings frames carry a decimal parameter and are written with a fixed
// length, padded with NUL bytes after the '*'.
inline constexpr std::string_view kFrequencyPrefix = "#00k ";
inline constexpr std::string_view kFilterPrefix = "#00f";
inline constexpr std::string_view kAutoOffPrefix = "#00e ";
inline constexpr std::size_t kFrequencyFrameSize = 13;
inline constexpr std::size_t kFilterFrameSize = 6;
inline constexpr std::size_t kAutoOffFrameSize = 11;
inline constexpr char kFrameEnd = '*';

inline constexpr char kVersionLetter = 'v';
inline constexpr char kSerialLetter = 's';
inline constexpr char kBatteryLetter = 'b';
inline constexpr char kTemperatureLetter = 't';
inline constexpr char kTotalFieldLetter = 'T';
inline constexpr char kAxisFieldLetter = 'A';
inline constexpr char kFrequencyLetter = 'k';
inline constexpr char kFilterLetter = 'f';
inline constexpr char kAutoOffLetter = 'e';

// Read capacity and the least count that makes a complete reply.
inline constexpr std::size_t kVersionReplySize = 18;
inline constexpr std::size_t kVersionReplyEnough = 17;
inline constexpr std::size_t kSerialReplySize = 11;
inline constexpr std::size_t kSerialReplyUsualSize = 33;  // letter, serial number and 22 more characters
inline constexpr std::size_t kBatteryReplySize = 3;
inline constexpr std::size_t kTemperatureReplySize = 3;
inline constexpr std::size_t kTotalFieldReplySize = 5;
inline constexpr std::size_t kAxisFieldReplySize = 13;
inline constexpr std::size_t kFrequencyReplySize = 5;
inline constexpr std::size_t kFilterReplySize = 2;
inline constexpr std::size_t kAutoOffReplySize = 5;
inline constexpr std::size_t kSettingReplyEnough = 1;  // filter and switch-off: the letter alone

// Version reply: model at 1..5, ':' at 6, release + ' ' + date at 7..16, ';' at 17.
inline constexpr std::size_t kModelOffset = 1;
inline constexpr std::size_t kModelLength = 5;
inline constexpr std::size_t kModelCompareLength = 4;
inline constexpr std::size_t kFirmwareOffset = 7;
inline constexpr std::size_t kFirmwareLength = 10;
inline constexpr std::size_t kFirmwareLongLength = 11;
inline constexpr std::size_t kFirmwareDateLength = 5;
inline constexpr std::size_t kSerialNumberOffset = 1;
inline constexpr std::size_t kSerialNumberLength = 10;

// Probe data block (reply to "#00?P*"), offsets from its first byte.
inline constexpr std::size_t kDataBlockSize = 382;
inline constexpr std::size_t kDataBlockEnough = 256;
inline constexpr std::size_t kFieldLimitOffset = 16;
inline constexpr std::size_t kCalibrationDateOffset = 204;
inline constexpr std::size_t kCalibrationDateLength = 8;
inline constexpr std::size_t kProbeNameOffset = 213;
inline constexpr std::size_t kProbeNameLength = 6;

inline constexpr int32_t kFilterMax = 7;
inline constexpr int32_t kAutoOffMax = 10800;

}  // namespace vel::protocol
