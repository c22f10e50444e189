// The platform layer: errno classification and texts, the writable file, the file mapping and the
// registry of live mappings.
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "file_test_support.h"
#include "platform/file_mapping.h"
#include "platform/live_mappings.h"
#include "platform/posix_io.h"
#include "platform/writable_file.h"

namespace ombrel::platform {
namespace {

using ombrel::testing::read_bytes;
using ombrel::testing::TempDir;
using ombrel::testing::write_bytes;

std::span<const std::byte> as_span(const std::string& text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

bool is_live(const FileIdentity& id) {
  return LiveMappings::lock().contains(id);
}

FileIdentity identity_of_path(const std::string& path) {
  struct stat status;
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  return posix::identity_of(status);
}

TEST(IoErrorTest, ErrnoKindsFollowTheTable) {
  const std::pair<int, IoErrorKind> table[] = {
      {ENOENT, IoErrorKind::kNotFound},
      {EACCES, IoErrorKind::kPermissionDenied},
      {EPERM, IoErrorKind::kPermissionDenied},
      {EEXIST, IoErrorKind::kAlreadyExists},
      {EAGAIN, IoErrorKind::kWouldBlock},
      {EWOULDBLOCK, IoErrorKind::kWouldBlock},
      {ETIMEDOUT, IoErrorKind::kTimedOut},
      {EINTR, IoErrorKind::kInterrupted},
      {EPIPE, IoErrorKind::kBrokenPipe},
      {ECONNREFUSED, IoErrorKind::kConnectionRefused},
      {ECONNRESET, IoErrorKind::kConnectionReset},
      {ECONNABORTED, IoErrorKind::kConnectionAborted},
      // Codes Python would give a subclass of its own stay plain OSError here.
      {EISDIR, IoErrorKind::kOther},
      {ENOTDIR, IoErrorKind::kOther},
      {ENOSPC, IoErrorKind::kOther},
      {EROFS, IoErrorKind::kOther},
      {ECHILD, IoErrorKind::kOther},
      {ESRCH, IoErrorKind::kOther},
      {EINVAL, IoErrorKind::kOther},
      {0, IoErrorKind::kOther},
      {99999, IoErrorKind::kOther},
  };
  for (const auto& [code, kind] : table) {
    EXPECT_EQ(kind_from_errno(code), kind) << "errno " << code;
    EXPECT_EQ(error_from_errno(code).kind, kind) << "errno " << code;
  }
}

TEST(IoErrorTest, MessageIsSystemTextThenOsErrorCode) {
  IoError not_found = error_from_errno(ENOENT);
  EXPECT_EQ(not_found.message, "No such file or directory (os error 2)");
  EXPECT_EQ(not_found.os_code, ENOENT);

  EXPECT_EQ(error_from_errno(ENOSPC).message, "No space left on device (os error 28)");
  EXPECT_EQ(error_from_errno(EACCES).message, "Permission denied (os error 13)");
  // An unknown code still gets the system's text and its number.
  const IoError unknown = error_from_errno(99999);
  EXPECT_NE(unknown.message.find("(os error 99999)"), std::string::npos) << unknown.message;
  EXPECT_GT(unknown.message.size(), std::string(" (os error 99999)").size());
}

TEST(PathTest, NulBytesAreRefusedBeforeAnythingIsOpened) {
  TempDir dir;
  const std::string prefix = dir.file("weights");
  const std::string path = prefix + std::string(1, '\0') + "tail";
  const int fds = ombrel::testing::open_fd_count();

  auto saved = WritableFile::open_for_save(path);
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().kind, IoErrorKind::kInvalidInput);
  EXPECT_EQ(saved.error().os_code, 0);
  EXPECT_EQ(saved.error().message, "file name contained an unexpected NUL byte");
  EXPECT_FALSE(ombrel::testing::exists(prefix)) << "the path was cut at the NUL and created";

  write_bytes(prefix, {1});  // a file where the cut path would lead must not be mapped either
  auto mapped = FileMapping::open(path);
  ASSERT_FALSE(mapped.ok());
  EXPECT_EQ(mapped.error().kind, IoErrorKind::kInvalidInput);
  EXPECT_EQ(mapped.error().message, "file name contained an unexpected NUL byte");
  EXPECT_EQ(ombrel::testing::open_fd_count(), fds);
}

TEST(OpenErrorTest, MissingPathAndDirectoryAreClassified) {
  TempDir dir;
  auto saved = WritableFile::open_for_save(dir.file("no-such-dir/weights.bin"));
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().kind, IoErrorKind::kNotFound);
  EXPECT_EQ(saved.error().message, "No such file or directory (os error 2)");
  auto mapped = FileMapping::open(dir.file("missing.bin"));
  ASSERT_FALSE(mapped.ok());
  EXPECT_EQ(mapped.error().kind, IoErrorKind::kNotFound);
  EXPECT_FALSE(ombrel::testing::exists(dir.file("missing.bin"))) << "mapping must never create";

  saved = WritableFile::open_for_save(dir.path());
  mapped = FileMapping::open(dir.path());
  ASSERT_FALSE(saved.ok());
  ASSERT_FALSE(mapped.ok());
  for (const IoError* error : {&saved.error(), &mapped.error()}) {
    EXPECT_EQ(error->kind, IoErrorKind::kOther);
    EXPECT_EQ(error->os_code, EISDIR);
    EXPECT_EQ(error->message, "Is a directory (os error 21)");
  }
}

TEST(OpenErrorTest, ReadOnlyFileIsPermissionDenied) {
  TempDir dir;
  const std::string path = ombrel::testing::read_only_file(dir);
  if (path.empty()) GTEST_SKIP() << "running as root and no read-only sysfs attribute to try";
  const auto before = read_bytes(path);

  auto mapped = FileMapping::open(path);
  ASSERT_FALSE(mapped.ok()) << path;
  EXPECT_EQ(mapped.error().kind, IoErrorKind::kPermissionDenied) << mapped.error().message;
  EXPECT_EQ(mapped.error().message, "Permission denied (os error 13)");

  auto saved = WritableFile::open_for_save(path);
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().kind, IoErrorKind::kPermissionDenied);
  if (::geteuid() != 0) {
    EXPECT_EQ(read_bytes(path), before);
  }
}

TEST(WritableFileTest, FullDeviceReportsNoSpace) {
  if (!ombrel::testing::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto opened = WritableFile::open_for_save("/dev/full");
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  WritableFile& file = opened.value();
  // A character device has no length to cut; truncation must not fail on it.
  EXPECT_FALSE(file.truncate().has_value());
  auto error = file.write_all(as_span(std::string(64, 'x')));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, IoErrorKind::kOther);
  EXPECT_EQ(error->os_code, ENOSPC);
  EXPECT_EQ(error->message, "No space left on device (os error 28)");
  EXPECT_FALSE(file.close().has_value());
}

TEST(WritableFileTest, OpensWithoutTruncatingThenTruncatesAndWrites) {
  TempDir dir;
  const std::string path = dir.file("w.bin");
  write_bytes(path, {9, 9, 9, 9, 9, 9});
  {
    auto opened = WritableFile::open_for_save(path);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened.value().identity(), identity_of_path(path));
    EXPECT_FALSE(opened.value().close().has_value());
    EXPECT_FALSE(opened.value().close().has_value()) << "a second close is a no-op";
  }
  EXPECT_EQ(read_bytes(path), (std::vector<uint8_t>{9, 9, 9, 9, 9, 9})) << "opening alone cut the file";

  auto opened = WritableFile::open_for_save(path);
  ASSERT_TRUE(opened.ok());
  ASSERT_FALSE(opened.value().truncate().has_value());
  ASSERT_FALSE(opened.value().write_all(as_span("abc")).has_value());
  ASSERT_FALSE(opened.value().close().has_value());
  EXPECT_EQ(read_bytes(path), (std::vector<uint8_t>{'a', 'b', 'c'}));

  const std::string created = dir.file("new.bin");
  auto fresh = WritableFile::open_for_save(created);
  ASSERT_TRUE(fresh.ok());
  EXPECT_TRUE(ombrel::testing::exists(created));
  struct stat status;
  ASSERT_EQ(::stat(created.c_str(), &status), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
}

// A scripted write(2): each call pops the next step. A step with a byte limit writes at most that many
// bytes; a step with an errno fails with it.
struct WriteStep {
  ssize_t limit = 0;
  int error = 0;
};
std::deque<WriteStep> g_steps;
std::string g_written;
int g_calls = 0;

ssize_t scripted_write(int /*fd*/, const void* buffer, size_t count) {
  ++g_calls;
  if (g_steps.empty()) {  // past the script: take everything
    g_written.append(static_cast<const char*>(buffer), count);
    return static_cast<ssize_t>(count);
  }
  const WriteStep step = g_steps.front();
  g_steps.pop_front();
  if (step.error != 0) {
    errno = step.error;
    return -1;
  }
  const size_t n = std::min(count, static_cast<size_t>(step.limit));
  g_written.append(static_cast<const char*>(buffer), n);
  return static_cast<ssize_t>(n);
}

void script(std::initializer_list<WriteStep> steps) {
  g_steps.assign(steps);
  g_written.clear();
  g_calls = 0;
}

TEST(WriteAllTest, ScriptedShortWritesInterruptionsAndFailures) {
  const std::string data = "0123456789abcdefghij";
  script({{3, 0}, {0, EINTR}, {1, 0}, {0, EINTR}, {0, EINTR}, {7, 0}});
  EXPECT_FALSE(posix::write_all(-1, as_span(data), &scripted_write).has_value());
  EXPECT_EQ(g_written, data);
  EXPECT_EQ(g_calls, 7);  // six scripted steps, then one call for the last 9 bytes

  script({});
  EXPECT_FALSE(posix::write_all(-1, {}, &scripted_write).has_value());
  EXPECT_EQ(g_calls, 0) << "nothing to write must not call write at all";

  script({{5, 0}, {0, 0}});
  auto error = posix::write_all(-1, as_span(data), &scripted_write);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, IoErrorKind::kWriteZero);
  EXPECT_EQ(error->os_code, 0);
  EXPECT_EQ(error->message, "failed to write whole buffer");
  EXPECT_EQ(g_written, "01234");

  script({{2, 0}, {0, EINTR}, {0, EPIPE}});
  error = posix::write_all(-1, as_span(data), &scripted_write);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, IoErrorKind::kBrokenPipe);
  EXPECT_EQ(error->message, "Broken pipe (os error 32)");
  EXPECT_EQ(g_calls, 3);
}

void ignore_signal(int) {}

// A real pipe, a slow reader and a timer signal without SA_RESTART: the kernel then hands write_all
// partial writes and EINTR; every byte must still arrive once and in order.
TEST(WriteAllTest, RealPipeUnderTimerSignalsDeliversEveryByte) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);

  struct sigaction action {};
  action.sa_handler = &ignore_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: interrupted writes return early
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);

  std::string data(4 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);

  std::string received;
  std::thread reader([&] {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);  // let the writer take the signals
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      received.append(chunk, static_cast<size_t>(n));
      if (received.size() % (256 << 10) < sizeof chunk) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  });

  itimerval timer{};
  timer.it_interval.tv_usec = 200;
  timer.it_value.tv_usec = 200;
  ::setitimer(ITIMER_REAL, &timer, nullptr);
  auto error = posix::write_all(fds[1], as_span(data));
  itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  ::sigaction(SIGALRM, &previous, nullptr);

  ASSERT_FALSE(error.has_value()) << error->message;
  ASSERT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST(FileMappingTest, MapsTheWholeFileSharedAndWritable) {
  TempDir dir;
  const std::string path = dir.file("m.bin");
  std::vector<uint8_t> bytes(10000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31);
  write_bytes(path, bytes);

  const int fds = ombrel::testing::open_fd_count();
  auto opened = FileMapping::open(path);
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  FileMapping& mapping = opened.value();
  EXPECT_EQ(ombrel::testing::open_fd_count(), fds) << "the descriptor must be closed after mapping";
  ASSERT_EQ(mapping.size(), bytes.size());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(mapping.data()) % 4096, 0u);
  EXPECT_EQ(std::memcmp(mapping.data(), bytes.data(), bytes.size()), 0);
  EXPECT_EQ(mapping.identity(), identity_of_path(path));

  // Stores reach the file, and writes to the file reach the view.
  mapping.data()[9999] = std::byte{0xAB};
  EXPECT_EQ(read_bytes(path)[9999], 0xAB);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const char patch = 0x5C;
  ASSERT_EQ(::pwrite(fd, &patch, 1, 17), 1);
  ::close(fd);
  EXPECT_EQ(mapping.data()[17], std::byte{0x5C});

  // A second view of the same file shares the same bytes.
  auto second = FileMapping::open(path);
  ASSERT_TRUE(second.ok());
  second.value().data()[4000] = std::byte{0x11};
  EXPECT_EQ(mapping.data()[4000], std::byte{0x11});
  EXPECT_NE(second.value().data(), mapping.data());
}

TEST(FileMappingTest, EmptyFileMapsNothing) {
  TempDir dir;
  const std::string path = dir.file("empty.bin");
  write_bytes(path, {});
  auto opened = FileMapping::open(path);
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(opened.value().size(), 0u);
  EXPECT_NE(opened.value().data(), nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(opened.value().data()) % 64, 0u);
  EXPECT_EQ(ombrel::testing::mapping_count(path), 0);
  // Without a view there is nothing a truncation could cut away, so the file is not registered.
  EXPECT_FALSE(is_live(opened.value().identity()));
}

TEST(FileMappingTest, RegistryCountsLiveViewsPerFile) {
  TempDir dir;
  const std::string path = dir.file("r.bin");
  const std::string link = dir.file("r-link.bin");
  write_bytes(path, std::vector<uint8_t>(128, 7));
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
  const FileIdentity id = identity_of_path(path);
  EXPECT_FALSE(is_live(id));
  {
    auto first = FileMapping::open(path);
    ASSERT_TRUE(first.ok());
    EXPECT_TRUE(is_live(id));
    {
      auto second = FileMapping::open(link);
      ASSERT_TRUE(second.ok());
      EXPECT_EQ(second.value().identity(), id);
    }
    EXPECT_TRUE(is_live(id)) << "one view is still alive";
    EXPECT_EQ(ombrel::testing::mapping_count(path), 1);

    FileMapping moved(std::move(first.value()));
    EXPECT_EQ(first.value().size(), 0u);
    EXPECT_TRUE(is_live(id));
    EXPECT_EQ(ombrel::testing::mapping_count(path), 1);
  }
  EXPECT_FALSE(is_live(id));
  EXPECT_EQ(ombrel::testing::mapping_count(path), 0);
}

}  // namespace
}  // namespace ombrel::platform
