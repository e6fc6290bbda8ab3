// The load's scenarios, each run against one server on loopback, and the raw TCP limits they are
// compared with. Every reply is checked byte for byte; a wrong or missing one raises EBenchError.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantorix {

class TServerProcess;

// Time-bounded scenarios run for Duration and then wait for what is still on its way.
struct TLoadSettings {
  std::chrono::milliseconds Duration{2000};
  std::size_t EchoSize = 100;              // bytes of a small echo command
  std::size_t BroadcastSize = 1000;        // bytes of a broadcast reply, about
  std::size_t PipelineWindow = 64;         // echoes in flight on the pipelined client
  std::size_t BroadcastWindow = 8;         // broadcasts not yet delivered to everyone
  std::size_t IdleConnections = 1000;      //
  std::size_t BigSize = 16 * 1024 * 1024;  // bytes of the large echo command
  int BigRepetitions = 3;
};

// Operations per second, with latencies where the scenario has them.
struct TRate {
  double PerSecond = 0;
  std::uint64_t Operations = 0;
  double P50Us = 0;
  double P99Us = 0;
};

// One client sending an echo and waiting for its reply, again and again.
TRate SequentialEchoes(std::uint16_t port, const TLoadSettings& settings);

// One client keeping PipelineWindow echoes in flight.
TRate PipelinedEchoes(std::uint16_t port, const TLoadSettings& settings);

// One sender and `receivers` other clients; each echo of the sender reaches all of them (and the
// sender). Operations are deliveries to the receivers.
TRate Broadcast(std::uint16_t port, std::size_t receivers, const TLoadSettings& settings);

// Connect, upgrade, close, one after another. Operations are completed upgrades.
TRate Handshakes(std::uint16_t port, const TLoadSettings& settings);

// Resident memory of the server before, with IdleConnections upgraded clients that send
// nothing, and after they have all closed and the server has let them go.
struct TIdleMemory {
  std::size_t Connections = 0;
  double BeforeMB = 0;
  double WithMB = 0;
  double AfterMB = 0;
  double PerConnectionKB() const;
};
TIdleMemory IdleConnections(const TServerProcess& server, const TLoadSettings& settings);

// BigRepetitions echoes of BigSize bytes on one client; the median in MB/s (10^6 bytes of the
// command per second of round trip).
double BigEchoMBps(std::uint16_t port, const TLoadSettings& settings);

// Physical limits on loopback, with a plain TCP peer in a thread of this process that answers
// each request of the same size as an echo command with as many bytes as the echo reply.
TRate RawPingPong(const TLoadSettings& settings);
double RawTransferMBps(const TLoadSettings& settings);

// Waits until the server has at most `threads` threads (the connection threads of a
// thread-per-connection server have ended), for at most 5 s.
void AwaitThreads(const TServerProcess& server, int threads);

// The p-th percentile (0..100) of samples, which it sorts.
double Percentile(std::vector<double>& samples, double p);

}  // namespace vantorix
