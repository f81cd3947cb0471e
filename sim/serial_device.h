#pragma once
// Simulated serial devices. A device reads the bytes the library sends,
// one at a time, and answers the way its instrument does; a server carries
// it over a pseudo-terminal pair so the library's real port code runs
// against it. Tests switch misbehaviour on and off while it runs.
//
// Writing a device: derive from SerialDevice, implement kind() and
// on_byte(). When a request is complete, take the fault for this answer
// with next_fault(), build the answer (honouring the faults that only the
// protocol knows how to commit: NAK, bad checksum, no line end) and hand it
// to send_answer(), which commits the generic faults (silence, short answer,
// junk) itself. on_byte runs on the server's thread with the device lock
// held; test-side setters of a device take lock() themselves.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace ferry::sim {

enum class Fault : uint8_t {
  none,
  nak,          // refuse the request the protocol's way
  bad_checksum, // wrong checksum or block check
  silence,      // no answer at all
  short_answer, // stop half-way through the answer
  junk,         // bytes that mean nothing, in place of the answer
  no_line_end   // a line protocol's answer without its end, padded out
};

class SerialDevice {
public:
  SerialDevice() = default;
  SerialDevice(const SerialDevice &) = delete;
  SerialDevice &operator=(const SerialDevice &) = delete;
  virtual ~SerialDevice() = default;

  // Short name used by the standalone program: "wave_monitor",
  // "temp_controller", "metronics", "heid", ...
  virtual const char *kind() const = 0;

  // --- test side; any thread ---

  // Commits fault on the next `answers` answers (-1: until cleared).
  void set_fault(Fault fault, int answers = -1);
  void clear_fault();
  // The next answer is exactly these bytes, whatever was asked. Several
  // calls queue several answers.
  void script_answer(std::vector<uint8_t> bytes);
  // Answers go out this long (unscaled ms) after the request is complete.
  void set_answer_delay_ms(uint32_t ms);
  // Sends bytes unasked: `repeats` times, one every interval_ms (unscaled).
  void chatter(std::vector<uint8_t> bytes, uint32_t repeats, uint32_t interval_ms);
  // Every byte received from the library so far, and the answers sent.
  std::vector<uint8_t> received() const;
  void clear_received();
  size_t answers_sent() const;
  // Bytes queued for the line but not yet handed to the server.
  size_t pending_output() const;
  // The lock that guards the device's state.
  std::unique_lock<std::mutex> lock() const { return std::unique_lock<std::mutex>(mutex_); }

  // Control commands, one text line each, answered with one text line; the
  // same commands a test in another process sends in-band (below). Byte
  // strings are written in hexadecimal. Generic commands:
  //   reset                          faults, scripts, received bytes and
  //                                  the device's own state back to start
  //   fault NAME [COUNT]             NAME as fault_name() gives it
  //   script HEX                     script_answer
  //   delay MS                       set_answer_delay_ms
  //   chatter HEX REPEATS INTERVAL   chatter
  //   received                       answers HEX of received()
  //   pending                        answers pending_output() in decimal
  // Anything else goes to device_command(). Answers "ok", a value, or
  // "error: ..." for a command that is not understood.
  std::string control(const std::string &command);

  // In-band control: bytes from the line that begin with control_prefix
  // and end with LF are a control command, not a request; the answer goes
  // back as answer_prefix, the answer and LF. Off unless switched on (the
  // standalone program does, for tests in another process).
  void accept_inband_control(bool on);
  static constexpr const char *control_prefix = "\x1b\x1bSIM ";
  static constexpr const char *answer_prefix = "\x1b\x1bSIM=";

  // --- server side ---

  // Feeds bytes from the line to the device.
  void feed(std::span<const uint8_t> bytes);
  // Bytes due for the line at time now_ms (a steady clock in ms); the
  // earliest later due time goes to *next_due_ms (UINT64_MAX: none).
  std::vector<uint8_t> take_due_output(uint64_t now_ms, uint64_t *next_due_ms);

  static uint64_t now_ms();

protected:
  // One byte of a request. Called with the device lock held.
  virtual void on_byte(uint8_t byte) = 0;
  // A control command of this kind of device (name, then the rest of the
  // line); "error: ..." when unknown. Called with the device lock held.
  virtual std::string device_command(const std::string &name, const std::string &args);
  // Puts the device's own state back to how it started. Called with the
  // device lock held.
  virtual void reset_device() {}

  // The fault for the answer about to be built (consumes one answer's worth
  // of a counted fault). Called with the device lock held.
  Fault next_fault();
  // Queues an answer, committing the generic faults. A scripted answer, if
  // one is queued, goes out in its place. Called with the device lock held.
  void send_answer(std::vector<uint8_t> bytes, Fault fault);

private:
  struct Pending {
    uint64_t due_ms;
    std::vector<uint8_t> bytes;
  };
  void queue_locked(uint64_t due_ms, std::vector<uint8_t> bytes);
  std::string control_locked(const std::string &command);
  void feed_byte_locked(uint8_t byte);

  mutable std::mutex mutex_;
  Fault fault_ = Fault::none;
  int fault_answers_ = 0;
  std::deque<std::vector<uint8_t>> scripted_;
  uint32_t delay_ms_ = 0;
  std::vector<uint8_t> received_;
  size_t answers_sent_ = 0;
  std::deque<Pending> outbox_;
  uint32_t junk_seed_ = 0x2545F491u;
  bool inband_ = false;
  // Bytes that match the control prefix so far, or a whole command line.
  std::string control_line_;
  bool in_control_ = false;
};

// Fault names of the control commands: "none", "nak", "bad_checksum",
// "silence", "short_answer", "junk", "no_line_end".
const char *fault_name(Fault fault);
bool fault_from_name(const std::string &name, Fault *fault);

// Hexadecimal byte strings of the control commands.
std::string to_hex(const std::vector<uint8_t> &bytes);
bool from_hex(const std::string &text, std::vector<uint8_t> *bytes);

// Serves one device over a pseudo-terminal pair on a thread of its own.
class PtyServer {
public:
  explicit PtyServer(SerialDevice &device);
  PtyServer(const PtyServer &) = delete;
  PtyServer &operator=(const PtyServer &) = delete;
  ~PtyServer();

  // False where the system has no pseudo-terminals (Windows).
  bool start();
  void stop();
  // The device a library port opens, for example /dev/pts/3.
  const std::string &device_path() const { return path_; }

private:
  void run();

  SerialDevice &device_;
  intptr_t master_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic_bool stopping_{false};
};

// The simulators, one factory each. make_wave_monitor_sim is defined beside
// the wave monitor simulator (sim/wave_monitor_sim.cpp); the standalone
// program serves whichever kind it is asked for.
std::unique_ptr<SerialDevice> make_temp_controller_sim();
std::unique_ptr<SerialDevice> make_metronics_sim();
std::unique_ptr<SerialDevice> make_heid_sim();
std::unique_ptr<SerialDevice> make_wave_monitor_sim();
// A device that answers nothing by itself: for tests of the port layer,
// which make it talk with chatter.
std::unique_ptr<SerialDevice> make_quiet_sim();

// Creates the simulator of a kind name, or null for an unknown name.
std::unique_ptr<SerialDevice> make_serial_device(const std::string &kind);

} // namespace ferry::sim
