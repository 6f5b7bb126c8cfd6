#include "connect.h"

#include <cstdlib>

#include "records.h"
#include "run_control.h"

namespace rawcan {
namespace {

bool is_scanf_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads one "%d" field at *cursor. Returns false where scanf would stop
// without a match; the value then stays untouched. Arithmetic wraps modulo
// 2^32, so no input length can overflow.
bool scan_decimal(const char*& cursor, uint32_t& value) {
  const char* p = cursor;
  while (is_scanf_space(*p)) {
    ++p;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (*p < '0' || *p > '9') {
    return false;
  }
  uint32_t magnitude = 0;
  while (*p >= '0' && *p <= '9') {
    magnitude = magnitude * 10u + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  value = negative ? 0u - magnitude : magnitude;
  cursor = p;
  return true;
}

}  // namespace

uint32_t parse_ipv4_like_scanf(const char* text) {
  uint32_t parts[4] = {0, 0, 0, 0};
  const char* cursor = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*cursor != '.') {
        break;
      }
      ++cursor;
    }
    if (!scan_decimal(cursor, parts[i])) {
      break;
    }
  }
  return ((parts[0] << 8 | parts[1]) << 8 | parts[2]) << 8 | parts[3];
}

int32_t parse_channel(const char* text) {
  uint32_t value = 0;
  const char* cursor = text;
  scan_decimal(cursor, value);
  return static_cast<int32_t>(value);
}

StartOutcome start_device(int argc, const char* const* argv, LibraryCalls& library, Output& out) {
  if (argc != 4) {
    out.print("usage: %s host_ip zelbor_ip can_channel\n",
              argc > 0 && argv[0] != nullptr ? argv[0] : "");
    return {false, 0, 1};
  }
  const uint32_t host_address = parse_ipv4_like_scanf(argv[1]);
  const uint32_t device_address = parse_ipv4_like_scanf(argv[2]);
  const int32_t channel = parse_channel(argv[3]);

  const int32_t started = library.start(device_address, host_address, first_port_of(channel),
                                        second_port_of(channel), channel);
  if (started == ERR_NO_MEMORY || started == ERR_SOCKET) {
    out.print("%s", started == ERR_NO_MEMORY ? "Memory allocation error, exiting ...\n"
                                             : "Socket error, exiting ...\n");
    library.stop();
    return {false, 0, 1};
  }

  const CtrlMessage init = make_init_can_chip();
  if (library.ctrl_write(init) != 0) {
    out.print("INIT_CAN_CHIP failed, exiting ...\n");
    library.stop();
    return {false, 0, 1};
  }
  return {true, channel, 0};
}

int32_t connect_device(int argc, const char* const* argv, LibraryCalls& library, Output& out) {
  const StartOutcome outcome = start_device(argc, argv, library, out);
  if (!outcome.ready) {
    if (!out.flush()) {
      end_after_output_failure(out.error(), argc > 0 ? argv[0] : nullptr);
    }
    std::exit(outcome.exit_status);
  }
  return outcome.channel;
}

}  // namespace rawcan
