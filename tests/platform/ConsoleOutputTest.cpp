// The console output on a pipe: it takes what the pipe takes, a full pipe makes a write wait no
// longer than asked, a reader that has gone raises instead of ending the program, and nothing
// holds up the output's end.
#include "platform/ConsoleOutput.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vantorix {
namespace {

using namespace std::chrono_literals;

// A pipe whose writing end a console output writes; the test reads or closes the other end.
class TPipe {
 public:
  TPipe() {
#ifdef _WIN32
    EXPECT_TRUE(CreatePipe(&FRead, &FWrite, nullptr, 64 * 1024));
    FOutput = std::make_unique<THandleOutput>(FWrite);
#else
    int fds[2] = {-1, -1};
    EXPECT_EQ(pipe(fds), 0);
    FRead = fds[0];
    FWrite = fds[1];
    FOutput = std::make_unique<TDescriptorOutput>(FWrite);
#endif
  }
  ~TPipe() {
    FOutput.reset();
    CloseReader();
#ifdef _WIN32
    CloseHandle(FWrite);
#else
    close(FWrite);
#endif
  }
  TConsoleOutput& Output() {
    return *FOutput;
  }
  // Reads what is there, up to size bytes; 0 at the end.
  std::size_t Read(std::size_t size) {
    std::vector<char> buffer(size);
#ifdef _WIN32
    DWORD got = 0;
    return ReadFile(FRead, buffer.data(), static_cast<DWORD>(size), &got, nullptr) ? got : 0;
#else
    const ssize_t got = read(FRead, buffer.data(), size);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
#endif
  }
  void CloseReader() {
#ifdef _WIN32
    if (FRead != nullptr) {
      CloseHandle(FRead);
      FRead = nullptr;
    }
#else
    if (FRead >= 0) {
      close(FRead);
      FRead = -1;
    }
#endif
  }

 private:
#ifdef _WIN32
  HANDLE FRead = nullptr;
  HANDLE FWrite = nullptr;
#else
  int FRead = -1;
  int FWrite = -1;
#endif
  std::unique_ptr<TConsoleOutput> FOutput;
};

TEST(ConsoleOutputTest, AFullPipeWaitsBoundedlyAndAGoneReaderRaises) {
  TPipe pipe;
  const std::string block(std::size_t{1} << 16, 'x');
  std::size_t taken = 0;
  for (int i = 0; i < 10000; ++i) {
    const std::size_t n = pipe.Output().Write(block, 50ms);
    if (n == 0) {
      break;
    }
    EXPECT_LE(n, block.size());
    taken += n;
  }
  EXPECT_GT(taken, 0u);
  EXPECT_LT(taken, std::size_t{64} << 20) << "a pipe that never fills";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pipe.Output().Write(block, 50ms), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  // Room again once the reader takes what is there.
  std::size_t read = 0;
  while (read < taken) {
    const std::size_t n = pipe.Read(taken - read);
    ASSERT_GT(n, 0u);
    read += n;
    if (pipe.Output().Write(block, 0ms) > 0) {
      break;
    }
  }
  EXPECT_GT(pipe.Output().Write(block, 2000ms) + read, read) << "room again once read";

  pipe.CloseReader();
  bool raised = false;
  for (int i = 0; i < 5 && !raised; ++i) {
    try {
      pipe.Output().Write(block, 2000ms);
    } catch (const std::system_error&) {
      raised = true;
    }
  }
  EXPECT_TRUE(raised) << "no error for a pipe without reader";
}

// The output ends at once even while a write waits for a reader that never reads.
TEST(ConsoleOutputTest, EndsPromptlyWhileAWriteWaitsForTheReader) {
  const auto start = std::chrono::steady_clock::now();
  {
    TPipe pipe;
    const std::string block(std::size_t{1} << 16, 'y');
    while (pipe.Output().Write(block, 100ms) > 0) {
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

}  // namespace
}  // namespace vantorix
