#include "kv210/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "frame_parser.h"
#include "reply_builder.h"

namespace kv210::sim {

namespace {

using Clock = std::chrono::steady_clock;
// 9600 baud, 8N1: ten bit times per byte.
constexpr std::chrono::nanoseconds kByteTime{1'041'667};

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// A run of reply bytes the serving thread writes once its time has come.
// Paced, byte i arrives when its wire time is over: at start + (i + 1) * kByteTime.
struct Output {
  Bytes bytes;
  std::size_t sent = 0;
  Clock::time_point start;
  bool paced = false;
  bool hangUp = false;  // closes the pty instead of writing

  Clock::time_point nextDue() const {
    return paced ? start + static_cast<long>(sent + 1) * kByteTime : start;
  }
  Clock::time_point end() const {
    return paced ? start + static_cast<long>(bytes.size()) * kByteTime : start;
  }
};

// A frame cut from the input, taken once its last byte is through the line.
struct InboundFrame {
  Clock::time_point due;
  std::string text;
};

std::string escaped(const uint8_t* data, std::size_t size) {
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    uint8_t c = data[i];
    if (c >= 32 && c < 127 && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string escaped(const std::string& text) {
  return escaped(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

const char* faultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::None: return "none";
    case FaultKind::Silence: return "silence";
    case FaultKind::WrongLetter: return "wrong letter";
    case FaultKind::Truncate: return "truncate";
    case FaultKind::Split: return "split";
    case FaultKind::Late: return "late";
    case FaultKind::Extra: return "extra bytes";
    case FaultKind::Garbage: return "garbage";
    case FaultKind::StoreError: return "store error";
    case FaultKind::MalformedSerial: return "malformed serial";
    case FaultKind::HangUp: return "hang-up";
  }
  return "?";
}

timespec toTimespec(Clock::duration d) {
  if (d < Clock::duration::zero()) d = Clock::duration::zero();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs);
  return timespec{static_cast<time_t>(secs.count()), static_cast<long>(nanos.count())};
}

}  // namespace

struct Simulator::Impl {
  explicit Impl(Options options);
  ~Impl();

  void serve();
  void wake() const;
  void readInput(Clock::time_point now);
  void takeDueFrames(Clock::time_point now);
  void take(const InboundFrame& frame);
  Fault nextFault(const std::string& key);
  void schedule(Bytes reply, const Fault& fault, const std::string& key, Clock::time_point due);
  void enqueue(Bytes bytes, Clock::time_point earliest, bool hangUp = false);
  bool writeDueOutput(Clock::time_point now);  // true while the pty is full
  void closePty();
  void claimLink();
  void releaseLinkClaim();
  bool addressed(const std::string& address) const {
    return address == "00" || address == identity.address;
  }
  void trace(const std::string& line) const {
    if (traceSink) traceSink(line);
  }

  // Fixed at construction.
  std::string pts;
  std::string link;
  std::function<void(const std::string&)> traceSink;
  int wakeFd = -1;
  // "<link>.lock", held with flock while this simulator serves the link; a
  // second simulator finds it held and refuses instead of taking the link.
  int linkLockFd = -1;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  // Only the serving thread closes these (on a hang-up); others read them under the lock.
  int master = -1;
  int slave = -1;
  bool stopRequested = false;
  bool hangUpRequested = false;

  Identity identity;
  Readings readings;
  bool paced = false;
  std::chrono::microseconds responseDelay{0};
  std::map<Command, Fault> lastingFaults;
  std::map<Command, std::deque<Fault>> nextFaults;
  std::map<Command, Bytes> scriptedReplies;

  Bytes received;
  std::vector<std::string> frames;
  int filter = -1;
  int autoOffSeconds = -1;
  int32_t frequencyHundredths = 0;
  std::size_t resets = 0;
  bool storeOpen = false;  // the last frame taken was "@c"

  detail::FrameCutter cutter;
  Clock::time_point inboundLineFree{};
  std::deque<InboundFrame> inbound;
  std::deque<Output> outbound;
  Clock::time_point outboundLineFree{};

  std::thread thread;
};

Simulator::Impl::Impl(Options options)
    : link(std::move(options.linkPath)),
      traceSink(std::move(options.trace)),
      identity(std::move(options.identity)),
      readings(options.readings),
      paced(options.pace9600) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) throwErrno("posix_openpt");
  try {
    if (grantpt(master) != 0) throwErrno("grantpt");
    if (unlockpt(master) != 0) throwErrno("unlockpt");
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) throwErrno("ptsname_r");
    pts = name;
    // Holding the slave open keeps the master from reporting a hang-up while
    // no client has the device open. The line is set raw here, on the slave:
    // termios calls on the master would act on the slave anyway.
    slave = open(pts.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) throwErrno("open " + pts);
    termios tio{};
    if (tcgetattr(slave, &tio) != 0) throwErrno("tcgetattr");
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(slave, TCSANOW, &tio) != 0) throwErrno("tcsetattr");
    int flags = fcntl(master, F_GETFL);
    if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) throwErrno("fcntl");
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) throwErrno("eventfd");

    if (!link.empty()) {
      claimLink();
      // Made under a temporary name and renamed, so an old link is replaced at once.
      std::string temporary = link + ".new" + std::to_string(getpid());
      unlink(temporary.c_str());
      if (symlink(pts.c_str(), temporary.c_str()) != 0 || rename(temporary.c_str(), link.c_str()) != 0) {
        int saved = errno;
        unlink(temporary.c_str());
        throw std::runtime_error(link + ": " + std::strerror(saved));
      }
    }
  } catch (...) {
    releaseLinkClaim();
    if (slave >= 0) close(slave);
    close(master);
    if (wakeFd >= 0) close(wakeFd);
    throw;
  }
  thread = std::thread([this] { serve(); });
}

Simulator::Impl::~Impl() {
  {
    std::lock_guard lock(mutex);
    stopRequested = true;
  }
  wake();
  thread.join();
  if (master >= 0) close(master);
  if (slave >= 0) close(slave);
  close(wakeFd);
  if (linkLockFd >= 0) {
    // Still ours while claimed; after a hang-up the next simulator may have
    // taken the name, even with the same pts number.
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == pts) unlink(link.c_str());
  }
  releaseLinkClaim();
}

void Simulator::Impl::claimLink() {
  struct stat st{};
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    throw std::runtime_error(link + " exists and is not a symbolic link");
  const std::string lockPath = link + ".lock";
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) throw std::runtime_error(link + ": " + std::strerror(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      char text[32] = "";
      ssize_t n = pread(fd, text, sizeof text - 1, 0);
      close(fd);
      long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
      throw std::runtime_error(link + " is served by another simulator" +
                               (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()));
    }
    // Its last holder may have removed the file between our open and flock.
    struct stat held{}, named{};
    if (fstat(fd, &held) != 0 || stat(lockPath.c_str(), &named) != 0 || held.st_ino != named.st_ino) {
      close(fd);
      continue;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) { /* the claim is the flock */ }
    linkLockFd = fd;
    return;
  }
  throw std::runtime_error(link + " is being claimed by another simulator");
}

// A simulator that has hung up (the probe unplugged) leaves its link to the
// next one; the dangling link itself stays until someone replaces it.
void Simulator::Impl::releaseLinkClaim() {
  if (linkLockFd < 0) return;
  unlink((link + ".lock").c_str());
  close(linkLockFd);
  linkLockFd = -1;
}

void Simulator::Impl::wake() const {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
}

void Simulator::Impl::serve() {
  std::unique_lock lock(mutex);
  while (!stopRequested) {
    if (hangUpRequested) {
      closePty();
      hangUpRequested = false;
      changed.notify_all();
      continue;
    }
    auto now = Clock::now();
    takeDueFrames(now);
    bool full = writeDueOutput(now);

    std::optional<Clock::time_point> deadline;
    if (!inbound.empty()) deadline = inbound.front().due;
    if (!outbound.empty() && !full) {
      auto due = outbound.front().nextDue();
      deadline = deadline ? std::min(*deadline, due) : due;
    }
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {master, POLLIN, 0}};
    if (full) fds[1].events |= POLLOUT;
    nfds_t count = master >= 0 ? 2 : 1;
    timespec timeout{};
    if (deadline) timeout = toTimespec(*deadline - now);

    lock.unlock();
    int ready = ppoll(fds, count, deadline ? &timeout : nullptr, nullptr);
    lock.lock();
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t value;
      [[maybe_unused]] ssize_t n = read(wakeFd, &value, sizeof value);
    }
    if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) readInput(Clock::now());
  }
}

void Simulator::Impl::readInput(Clock::time_point now) {
  uint8_t buffer[4096];
  for (;;) {
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      // With our own slave descriptor open this does not happen; should the
      // line still be gone, stop serving it rather than poll a dead master.
      trace("pty master failed; hanging up");
      closePty();
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      received.push_back(buffer[i]);
      // Paced, each byte takes its wire time after the one before it.
      Clock::time_point through = now;
      if (paced) {
        through = std::max(now, inboundLineFree) + kByteTime;
        inboundLineFree = through;
      }
      if (cutter.feed(buffer[i])) inbound.push_back({through, cutter.frame()});
    }
  }
}

void Simulator::Impl::takeDueFrames(Clock::time_point now) {
  while (!inbound.empty() && inbound.front().due <= now && master >= 0) {
    InboundFrame frame = std::move(inbound.front());
    inbound.pop_front();
    take(frame);
  }
}

void Simulator::Impl::take(const InboundFrame& frame) {
  frames.push_back(frame.text);
  changed.notify_all();
  trace("frame  " + escaped(frame.text));

  detail::ParsedFrame parsed = detail::parseFrame(frame.text);
  if (!addressed(parsed.address)) return;
  bool storeWasOpen = storeOpen;
  storeOpen = parsed.kind == detail::CommandKind::StoreOpen;
  if (parsed.kind == detail::CommandKind::Unknown) return;

  Fault fault = nextFault(parsed.key);
  switch (parsed.kind) {
    case detail::CommandKind::Frequency: frequencyHundredths = *parsed.number; break;
    case detail::CommandKind::Filter: filter = *parsed.number; break;
    case detail::CommandKind::AutoOff: autoOffSeconds = *parsed.number; break;
    case detail::CommandKind::Reset: ++resets; break;
    case detail::CommandKind::StoreAddress:
      if (storeWasOpen && detail::isStorableAddress(parsed.argument) &&
          fault.kind != FaultKind::StoreError)
        identity.address = parsed.argument;
      break;
    default: break;
  }
  auto scripted = scriptedReplies.find(parsed.key);
  Bytes reply = scripted != scriptedReplies.end()
                    ? scripted->second
                    : detail::probeReply(parsed, identity, readings, storeWasOpen);
  schedule(std::move(reply), fault, parsed.key, frame.due);
}

Fault Simulator::Impl::nextFault(const std::string& key) {
  auto queued = nextFaults.find(key);
  if (queued != nextFaults.end() && !queued->second.empty()) {
    Fault fault = std::move(queued->second.front());
    queued->second.pop_front();
    return fault;
  }
  auto lasting = lastingFaults.find(key);
  return lasting != lastingFaults.end() ? lasting->second : Fault{};
}

void Simulator::Impl::schedule(Bytes reply, const Fault& fault, const std::string& key,
                               Clock::time_point due) {
  Clock::time_point start = due + responseDelay;
  if (fault.kind != FaultKind::None) trace("fault  " + key + ": " + faultName(fault.kind));
  switch (fault.kind) {
    case FaultKind::None:
    case FaultKind::Split:
      break;
    case FaultKind::Silence:
      reply.clear();
      break;
    case FaultKind::WrongLetter:
      if (!reply.empty()) reply[0] = static_cast<uint8_t>(fault.letter);
      break;
    case FaultKind::Truncate:
      reply.resize(std::min(reply.size(), fault.count));
      break;
    case FaultKind::Late:
      start += fault.delay;
      break;
    case FaultKind::Extra:
      reply.insert(reply.end(), fault.bytes.begin(), fault.bytes.end());
      break;
    case FaultKind::Garbage:
      reply = fault.bytes;
      break;
    case FaultKind::StoreError:
      reply = detail::storeRefusal(fault.letter == '?' ? 'e' : fault.letter);
      break;
    case FaultKind::MalformedSerial:
      if (!reply.empty()) {
        auto first = reply.begin() + 1;
        reply.erase(first, first + static_cast<std::ptrdiff_t>(std::min<std::size_t>(10, reply.size() - 1)));
        reply.insert(reply.begin() + 1, fault.bytes.begin(), fault.bytes.end());
      }
      break;
    case FaultKind::HangUp:
      enqueue({}, start, true);
      return;
  }
  if (reply.empty()) return;
  if (traceSink) {
    constexpr std::size_t kShown = 48;
    std::string line = "reply  " + escaped(reply.data(), std::min(kShown, reply.size()));
    if (reply.size() > kShown) line += "... (" + std::to_string(reply.size()) + " bytes)";
    trace(line);
  }
  if (fault.kind == FaultKind::Split && fault.count < reply.size()) {
    auto cut = reply.begin() + static_cast<std::ptrdiff_t>(fault.count);
    Bytes rest(cut, reply.end());
    reply.erase(cut, reply.end());
    enqueue(std::move(reply), start);
    enqueue(std::move(rest), outboundLineFree + fault.delay);
    return;
  }
  enqueue(std::move(reply), start);
}

void Simulator::Impl::enqueue(Bytes bytes, Clock::time_point earliest, bool hangUp) {
  Output output;
  output.bytes = std::move(bytes);
  output.start = std::max(earliest, outboundLineFree);
  output.paced = paced;
  output.hangUp = hangUp;
  outboundLineFree = output.end();
  outbound.push_back(std::move(output));
}

bool Simulator::Impl::writeDueOutput(Clock::time_point now) {
  while (!outbound.empty() && master >= 0) {
    Output& output = outbound.front();
    if (output.nextDue() > now) return false;
    if (output.hangUp) {
      closePty();
      return false;
    }
    std::size_t remaining = output.bytes.size() - output.sent;
    std::size_t count = remaining;
    if (output.paced) {
      // Every byte whose time has come: one, unless the thread fell behind.
      auto dueBytes = static_cast<std::size_t>((now - output.start) / kByteTime);
      count = std::min(remaining, dueBytes - output.sent);
    }
    ssize_t n = write(master, output.bytes.data() + output.sent, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return true;
      trace("write to the pty failed; dropping the reply");
      outbound.pop_front();
      continue;
    }
    output.sent += static_cast<std::size_t>(n);
    if (output.sent == output.bytes.size()) outbound.pop_front();
  }
  return false;
}

void Simulator::Impl::closePty() {
  if (master >= 0) {
    trace("hang-up");
    close(master);
    master = -1;
  }
  if (slave >= 0) {
    close(slave);
    slave = -1;
  }
  inbound.clear();
  outbound.clear();
  releaseLinkClaim();
}

// ---------------------------------------------------------------------------

Simulator::Simulator() : Simulator(Options{}) {}
Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Simulator::~Simulator() = default;

std::string Simulator::devicePath() const {
  return impl_->link.empty() ? impl_->pts : impl_->link;
}
std::string Simulator::ptsPath() const { return impl_->pts; }

void Simulator::setIdentity(const Identity& identity) {
  std::lock_guard lock(impl_->mutex);
  impl_->identity = identity;
}

void Simulator::setReadings(const Readings& readings) {
  std::lock_guard lock(impl_->mutex);
  impl_->readings = readings;
}

void Simulator::setPacing(bool pace9600) {
  std::lock_guard lock(impl_->mutex);
  impl_->paced = pace9600;
}

void Simulator::setFault(const Command& command, Fault fault) {
  std::lock_guard lock(impl_->mutex);
  if (fault.kind == FaultKind::None)
    impl_->lastingFaults.erase(command);
  else
    impl_->lastingFaults[command] = std::move(fault);
}

void Simulator::pushFault(const Command& command, Fault fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->nextFaults[command].push_back(std::move(fault));
}

void Simulator::clearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->lastingFaults.clear();
  impl_->nextFaults.clear();
}

void Simulator::setReply(const Command& command, Bytes reply) {
  std::lock_guard lock(impl_->mutex);
  impl_->scriptedReplies[command] = std::move(reply);
}

void Simulator::clearReplies() {
  std::lock_guard lock(impl_->mutex);
  impl_->scriptedReplies.clear();
}

void Simulator::setResponseDelay(std::chrono::microseconds delay) {
  std::lock_guard lock(impl_->mutex);
  impl_->responseDelay = delay;
}

void Simulator::hangUp() {
  std::unique_lock lock(impl_->mutex);
  if (impl_->master < 0) return;
  impl_->hangUpRequested = true;
  impl_->wake();
  impl_->changed.wait(lock, [this] { return impl_->master < 0; });
}

Bytes Simulator::received() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

std::vector<std::string> Simulator::frames() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->frames;
}

void Simulator::clearReceived() {
  std::lock_guard lock(impl_->mutex);
  impl_->received.clear();
  impl_->frames.clear();
}

bool Simulator::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->frames.size() >= count; });
}

std::string Simulator::address() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->identity.address;
}

int Simulator::filter() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->filter;
}

int Simulator::autoOffSeconds() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->autoOffSeconds;
}

int32_t Simulator::frequencyHundredths() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->frequencyHundredths;
}

std::size_t Simulator::resets() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->resets;
}

Bytes Simulator::replyFor(const std::string& frame) const {
  // Cut like received input, so that NUL padding and stray bytes do not matter.
  detail::FrameCutter cutter;
  std::string cut;
  for (char c : frame)
    if (cutter.feed(static_cast<uint8_t>(c))) {
      cut = cutter.frame();
      break;
    }
  std::lock_guard lock(impl_->mutex);
  detail::ParsedFrame parsed = detail::parseFrame(cut);
  if (!impl_->addressed(parsed.address) || parsed.kind == detail::CommandKind::Unknown) return {};
  auto scripted = impl_->scriptedReplies.find(parsed.key);
  if (scripted != impl_->scriptedReplies.end()) return scripted->second;
  return detail::probeReply(parsed, impl_->identity, impl_->readings, impl_->storeOpen);
}

}  // namespace kv210::sim
