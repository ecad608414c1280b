// Fuzz target: an arbitrary byte stream from the PMS read with fias_read_packet, one record after
// another, with buffer sizes that change from read to read. Each read must give what the framing
// rules say: STX opens a record, ETX closes it and is not stored, the text is cut at maxlen - 1
// bytes with the rest left in the stream, anything else where a record must start is refused,
// and the end of the stream is a lost link. Nothing is written past the buffer, and nothing of
// the next frame is consumed.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fias.h"
#include "fuzz_support.h"

namespace {

// Buffer sizes to cycle through, the first chosen by the input: the refused size 0, sizes that
// cut records, and the main loop's own.
constexpr int kMaxLens[] = {0, 1, 2, 3, 5, 8, 16, 64, 4096};

struct expected_read {
  int result;
  std::string text;
};

// What the next read must give for the stream from `pos` on; advances `pos` past the bytes that
// read consumes.
expected_read framing_rules(std::string_view stream, size_t& pos, int maxlen) {
  if (maxlen < 1) return {0, ""};
  if (pos == stream.size()) return {FIAS_READ_ERROR, ""};
  if (stream[pos++] != FIAS_STX) return {FIAS_READ_NOT_STX, ""};
  std::string text;
  while (text.size() < static_cast<size_t>(maxlen - 1)) {
    if (pos == stream.size()) return {FIAS_READ_ERROR, ""};
    const char c = stream[pos++];
    if (c == FIAS_ETX) break;
    text += c;
  }
  return {static_cast<int>(text.size()), text};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet();
  if (size == 0) return 0;
  const size_t first_len = data[0];
  fed_stream in = feed_stream(as_text(data + 1, size - 1));

  size_t pos = 0;
  for (size_t call = 0;; ++call) {
    const int maxlen = kMaxLens[(first_len + call) % std::size(kMaxLens)];
    // Exactly maxlen bytes, so that AddressSanitizer sees a write past the end.
    std::vector<char> packet(static_cast<size_t>(maxlen));
    const expected_read want = framing_rules(in.sent, pos, maxlen);
    const int got = fias_read_packet(in.reader.get(), packet.data(), maxlen);
    FUZZ_CHECK(got == want.result);
    if (got >= 0 && maxlen >= 1) {
      FUZZ_CHECK(got <= maxlen - 1);
      FUZZ_CHECK(packet[static_cast<size_t>(got)] == '\0');
      FUZZ_CHECK(std::memcmp(packet.data(), want.text.data(), static_cast<size_t>(got)) == 0);
    }
    if (got == FIAS_READ_ERROR) break;
  }
  // The lost link is reported at the end of the stream, not before: nothing is left unread.
  char rest;
  FUZZ_CHECK(::recv(in.reader.get(), &rest, 1, MSG_DONTWAIT) == 0);
  return 0;
}
