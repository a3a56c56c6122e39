// The POSIX layer on pseudo-terminals and shared-memory objects: the line settings, bounded
// writes to a panel that stalls, pauses and writes that signals interrupt, the stop handler,
// and the area's wait and mapping. The area tests run in a private mount namespace with a
// tmpfs on /dev/shm, so they never touch the machine's own objects.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/pause.h"
#include "common/stop_requested.h"
#include "panel_link/panel_link.h"
#include "panel_link/panel_link_posix.h"
#include "relay/relay_run.h"
#include "sim_link/sim_link.h"
#include "tool_support/line_speed.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string namespace_failure;  // empty when the private /dev/shm is in place

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::size_t OpenDescriptorCount() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// --- Signals that keep interrupting whatever the test does --------------------------------------

std::atomic<int> alarms{0};

void CountAlarm(int /*signal_number*/) {
  alarms.fetch_add(1);
}

// SIGALRM every `interval_ms`, without SA_RESTART, so every blocking call sees EINTR.
void StartAlarms(int interval_ms) {
  struct sigaction action {};
  action.sa_handler = CountAlarm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  alarms.store(0);
  itimerval timer{};
  timer.it_interval.tv_usec = static_cast<suseconds_t>(interval_ms) * 1000;
  timer.it_value.tv_usec = static_cast<suseconds_t>(interval_ms) * 1000;
  setitimer(ITIMER_REAL, &timer, nullptr);
}

void StopAlarms() {
  const itimerval timer{};
  setitimer(ITIMER_REAL, &timer, nullptr);
}

// --- A pseudo-terminal playing the panel ---------------------------------------------------------

struct Pty {
  int master = -1;
  int slave = -1;  // opened as the relay opens its port: non-blocking
};

Pty OpenPty() {
  Pty pty;
  pty.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) return pty;
  pty.slave = open(ptsname(pty.master), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (pty.slave >= 0) {
    const termios settings = BuildLineSettings();
    tcsetattr(pty.slave, TCSANOW, &settings);
  }
  return pty;
}

void ClosePty(Pty pty) {
  close(pty.slave);
  close(pty.master);
}

// Writes until the pseudo-terminal takes no more: a panel that has stopped reading. The kernel
// moves written bytes on to the reading side in the background, which makes room again for a
// while, so a round that finds no room must also find none after a moment.
std::size_t FillUntilStalled(Pty pty) {
  std::size_t total = 0;
  const std::vector<char> chunk(1024, 'x');
  for (;;) {
    std::size_t round = 0;
    for (;;) {
      const ssize_t written = write(pty.slave, chunk.data(), chunk.size());
      if (written <= 0) break;
      round += static_cast<std::size_t>(written);
    }
    if (round == 0 && total > 0) return total;
    total += round;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::vector<std::uint8_t> ReadFromPanel(int master, std::size_t count, int timeout_ms) {
  std::vector<std::uint8_t> received;
  const auto start = Clock::now();
  while (received.size() < count && MillisecondsSince(start) < timeout_ms) {
    pollfd watched{master, POLLIN, 0};
    if (poll(&watched, 1, 50) <= 0) continue;
    std::uint8_t buffer[4096];
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got > 0) received.insert(received.end(), buffer, buffer + got);
  }
  return received;
}

PanelFrame NumberedFrame() {
  PanelFrame frame{};
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i + 1);
  return frame;
}

TEST(LineSettings, AreRaw1200Baud8N1WithoutFlowControlOrControlCharacters) {
  const termios settings = BuildLineSettings();
  EXPECT_EQ(settings.c_iflag, 0u);
  EXPECT_EQ(settings.c_oflag, 0u);
  EXPECT_EQ(settings.c_lflag, 0u);
  EXPECT_EQ(settings.c_cflag & ~static_cast<tcflag_t>(CBAUD), CS8 | CREAD | CLOCAL);
  EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B1200));
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B1200));
  for (const cc_t character : settings.c_cc) EXPECT_EQ(character, 0);

  // And a terminal takes them as they are.
  const Pty pty = OpenPty();
  ASSERT_GE(pty.slave, 0);
  termios applied{};
  ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
  EXPECT_EQ(LineOutputBaud(pty.slave), 1200u);
  EXPECT_EQ(applied.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(applied.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(applied.c_oflag & OPOST, 0u);
  EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(applied.c_cc[VMIN], 0);
  EXPECT_EQ(applied.c_cc[VTIME], 0);
  ClosePty(pty);
}

TEST(LineSettings, AReopenedCookedNodeIsMadeRawAtItsOwnSpeed) {
  // A new pseudo-terminal starts in the kernel's default mode, as a new USB serial node does.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  termios cooked{};
  ASSERT_EQ(tcgetattr(master, &cooked), 0);
  close(master);
  ASSERT_NE(cooked.c_oflag & OPOST, 0u);
  ASSERT_NE(cooked.c_lflag & ECHO, 0u);
  termios raw{};
  ASSERT_TRUE(RawLineSettings(cooked, &raw));
  EXPECT_EQ(raw.c_iflag, 0u);
  EXPECT_EQ(raw.c_oflag, 0u);
  EXPECT_EQ(raw.c_lflag, 0u);
  EXPECT_EQ(raw.c_cflag, cooked.c_cflag);  // speed, framing and modem control as they were
  EXPECT_EQ(cfgetospeed(&raw), cfgetospeed(&cooked));
  EXPECT_EQ(cfgetispeed(&raw), cfgetispeed(&cooked));
  EXPECT_EQ(std::memcmp(raw.c_cc, cooked.c_cc, sizeof raw.c_cc), 0);

  // A node that kept the line settings is raw already: nothing to set, no speed given again.
  termios untouched{};
  EXPECT_FALSE(RawLineSettings(BuildLineSettings(), &untouched));
  EXPECT_EQ(untouched.c_cflag, 0u);
}

TEST(WriteTimeout, IsTenMillisecondsPerBytePlusOneHundred) {
  EXPECT_EQ(WriteTimeoutMilliseconds(kPanelFrameSize), 1370u);
  EXPECT_EQ(WriteTimeoutMilliseconds(1), 110u);
  EXPECT_EQ(WriteTimeoutMilliseconds(0), 100u);
}

TEST(WritePanelFrame, AReadingPanelGetsTheWholeFrameAtOnce) {
  const Pty pty = OpenPty();
  ASSERT_GE(pty.slave, 0);
  const PanelFrame frame = NumberedFrame();
  const auto start = Clock::now();
  WritePanelFrame(PanelPort{pty.slave}, frame);
  EXPECT_LT(MillisecondsSince(start), 500);
  const auto received = ReadFromPanel(pty.master, frame.size(), 2000);
  EXPECT_EQ(received, std::vector<std::uint8_t>(frame.begin(), frame.end()));
  ClosePty(pty);
}

TEST(WritePanelFrame, AStalledPanelHoldsAWriteForItsTimeOutEvenUnderSignals) {
  const Pty pty = OpenPty();
  ASSERT_GE(pty.slave, 0);
  ASSERT_GT(FillUntilStalled(pty), 0u);

  StartAlarms(20);
  const auto start = Clock::now();
  WritePanelFrame(PanelPort{pty.slave}, NumberedFrame());
  const long long elapsed = MillisecondsSince(start);
  StopAlarms();

  EXPECT_GT(alarms.load(), 20) << "the write was hardly interrupted: the test proves little";
  EXPECT_GE(elapsed, 1370) << "an interruption ended the write early";
  EXPECT_LT(elapsed, 1370 + 300) << "the write outlived its time-out";
  ClosePty(pty);
}

TEST(WritePanelFrame, APanelThatReadsAgainGetsTheRestOfTheFrameInOrder) {
  const Pty pty = OpenPty();
  ASSERT_GE(pty.slave, 0);
  const std::size_t filled = FillUntilStalled(pty);
  const PanelFrame frame = NumberedFrame();

  std::vector<std::uint8_t> received;
  std::thread panel([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    received = ReadFromPanel(pty.master, filled + frame.size(), 5000);
  });
  const auto start = Clock::now();
  WritePanelFrame(PanelPort{pty.slave}, frame);
  const long long elapsed = MillisecondsSince(start);
  panel.join();

  EXPECT_GE(elapsed, 250);
  EXPECT_LT(elapsed, 1370) << "the write waited out its time-out though the panel read again";
  ASSERT_EQ(received.size(), filled + frame.size());
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), received.end() - frame.size()));
  ClosePty(pty);
}

TEST(PauseMilliseconds, LastsItsFullLengthThoughSignalsInterruptIt) {
  StartAlarms(10);
  const auto start = Clock::now();
  PauseMilliseconds(250);
  const long long elapsed = MillisecondsSince(start);
  StopAlarms();
  EXPECT_GT(alarms.load(), 10);
  EXPECT_GE(elapsed, 250);
  EXPECT_LT(elapsed, 400);
}

TEST(StopHandler, EveryStopSignalSetsTheFlagAndTheHandlerStays) {
  InstallStopHandler();
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    StopRequested.store(false);
    kill(getpid(), signal_number);
    EXPECT_TRUE(StopRequested.load()) << strsignal(signal_number);
    kill(getpid(), signal_number);  // a second one changes nothing and must not end the process
    EXPECT_TRUE(StopRequested.load()) << strsignal(signal_number);
    struct sigaction installed {};
    sigaction(signal_number, nullptr, &installed);
    EXPECT_NE(installed.sa_handler, SIG_DFL) << strsignal(signal_number);
    EXPECT_EQ(installed.sa_flags & SA_RESETHAND, 0) << strsignal(signal_number);
  }
  StopRequested.store(false);
}

// --- The simulator's area ------------------------------------------------------------------------

constexpr char kAreaPath[] = "/FalconSharedMemoryArea";

class SimulatorAreaTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!namespace_failure.empty()) {
      if (std::getenv("PANEL_RELAY_REQUIRE_NAMESPACES") != nullptr) {
        FAIL() << namespace_failure;
      }
      GTEST_SKIP() << namespace_failure;
    }
    shm_unlink(kAreaPath);
    StopRequested.store(false);
    baseline_descriptors_ = OpenDescriptorCount();
  }

  void TearDown() override {
    if (!namespace_failure.empty()) return;  // the machine's own /dev/shm: leave it alone
    if (simulator_ >= 0) close(simulator_);
    shm_unlink(kAreaPath);
    StopRequested.store(false);
  }

  // The simulator's side: creates the object with `size` bytes.
  void CreateArea(off_t size) {
    simulator_ = shm_open(kAreaPath, O_CREAT | O_EXCL | O_RDWR, 0644);
    ASSERT_GE(simulator_, 0);
    ASSERT_EQ(ftruncate(simulator_, size), 0);
    baseline_descriptors_ = OpenDescriptorCount();
  }

  int simulator_ = -1;
  std::size_t baseline_descriptors_ = 0;
};

TEST_F(SimulatorAreaTest, AStopBeforeTheFirstAttemptEndsTheWaitThoughTheAreaExists) {
  CreateArea(4096);
  StopRequested.store(true);
  SimulatorArea area{};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(WaitForSimulatorArea(&area));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Waiting for Falcon...\n");
  EXPECT_EQ(OpenDescriptorCount(), baseline_descriptors_);
}

TEST_F(SimulatorAreaTest, AnObjectTooSmallForTheBlocksIsNotYetThereAndIsClosedAtOnce) {
  CreateArea(0);
  std::thread simulator([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(ftruncate(simulator_, 495), 0);  // one byte short of the attribute block's end
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    StopRequested.store(true);
  });
  SimulatorArea area{};
  testing::internal::CaptureStdout();
  const bool connected = WaitForSimulatorArea(&area);
  simulator.join();
  EXPECT_FALSE(connected);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Waiting for Falcon...\n");
  // Thousands of attempts were made; none may have kept its descriptor.
  EXPECT_EQ(OpenDescriptorCount(), baseline_descriptors_);
}

TEST_F(SimulatorAreaTest, AnAreaSizedLaterIsConnectedMappedWholeAndReadLive) {
  CreateArea(0);
  std::thread simulator([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(ftruncate(simulator_, 4096), 0);
  });
  SimulatorArea area{};
  testing::internal::CaptureStdout();
  const bool connected = WaitForSimulatorArea(&area);
  simulator.join();
  ASSERT_TRUE(connected);
  ASSERT_TRUE(MapSimulatorArea(&area));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Waiting for Falcon...\nConnected...\n");
  EXPECT_EQ(area.view.length, 4096u);

  void* base = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, simulator_, 0);
  ASSERT_NE(base, MAP_FAILED);
  auto* bytes = static_cast<volatile std::uint8_t*>(base);
  bytes[236] = 'A';
  bytes[4095] = 0x5A;
  EXPECT_EQ(ReadAreaByte(area.view, 236), 'A');
  EXPECT_EQ(ReadAreaByte(area.view, 4095), 0x5A);
  bytes[236] = 'B';  // the simulator writes again: the view shows it
  EXPECT_EQ(ReadAreaByte(area.view, 236), 'B');
  munmap(base, 4096);

  CloseSimulatorArea(area);
  EXPECT_EQ(OpenDescriptorCount(), baseline_descriptors_);
}

TEST_F(SimulatorAreaTest, AnAreaThatCannotBeMappedReportsErrnoAndIsClosed) {
  // Far larger than any process's address space: mmap refuses it with ENOMEM.
  CreateArea(off_t{1} << 50);
  SimulatorArea area{};
  testing::internal::CaptureStdout();
  ASSERT_TRUE(WaitForSimulatorArea(&area));
  EXPECT_FALSE(MapSimulatorArea(&area));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Waiting for Falcon...\nConnected...\nError accessing Falcon BMS (12).\n");
  EXPECT_EQ(OpenDescriptorCount(), baseline_descriptors_);
}

// A private /dev/shm for the area tests; must happen while the process has one thread only.
void EnterPrivateSharedMemory() {
  if (unshare(CLONE_NEWNS) != 0) {
    namespace_failure = std::string("no private mount namespace: ") + std::strerror(errno);
  } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) {
    namespace_failure = std::string("no private /dev/shm: ") + std::strerror(errno);
  }
}

}  // namespace

int main(int argc, char** argv) {
  EnterPrivateSharedMemory();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
