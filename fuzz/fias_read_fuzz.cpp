// Fuzz target: an arbitrary byte stream from the PMS fed to a fias_frame_reader in pieces of
// changing sizes, as recv() may hand it over. Whatever the pieces, the reader must give what the
// framing rules give for the whole stream: STX opens a record, ETX closes it and is not part of
// the text, a byte other than STX where a record must start is refused, an STX inside a record
// drops it and opens the next, a record holding a NUL byte is dropped at its ETX, a record whose
// text reaches 4095 characters without its ETX is discarded whole and the bytes up to the next
// STX are skipped. No record is handed out cut or longer than the limit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "pmslink.h"
#include "fuzz_support.h"

namespace {

// Piece sizes to cycle through, the first chosen by the input: single bytes, pieces that split a
// record anywhere, and pieces around the record limit.
constexpr size_t kPieces[] = {1, 2, 3, 5, 8, 64, 4095, 4096, 4097, 9000};

struct read_result {
  int rc;
  std::string text;
  bool operator==(const read_result&) const = default;
};

struct expected_stream {
  std::vector<read_result> results;
  bool inside_record = false;
  std::string partial;
};

// The results of reading the whole stream, byte by byte, by the framing rules.
expected_stream framing_rules(std::string_view stream) {
  enum { between, inside, skipping } state = between;
  std::string text;
  expected_stream out;
  for (size_t i = 0; i < stream.size();) {
    const char c = stream[i];
    if (state == between) {
      ++i;
      if (c == FIAS_STX) {
        state = inside;
        text.clear();
      } else {
        out.results.push_back({FIAS_READ_NOT_STX, ""});
      }
    } else if (state == inside) {
      if (c == FIAS_ETX) {
        ++i;
        if (text.find('\0') == std::string::npos) out.results.push_back({1, text});
        state = between;
      } else if (text.size() == FIAS_MAX_RECORD_TEXT) {
        out.results.push_back({FIAS_READ_TOO_LONG, ""});
        state = skipping;
      } else if (c == FIAS_STX) {
        ++i;
        text.clear();
      } else {
        text += c;
        ++i;
      }
    } else if (c == FIAS_STX) {
      state = between;
    } else {
      ++i;
    }
  }
  out.inside_record = state == inside;
  if (out.inside_record) out.partial = text;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet();
  if (size == 0) return 0;
  const size_t first_piece = data[0];
  const std::string_view stream = as_text(data + 1, size - 1);
  const expected_stream want = framing_rules(stream);

  fias_frame_reader reader;
  std::vector<read_result> got;
  std::string text;
  for (size_t pos = 0, call = first_piece; pos < stream.size(); ++call) {
    const size_t n = std::min(kPieces[call % std::size(kPieces)], stream.size() - pos);
    reader.feed(stream.data() + pos, n);
    pos += n;
    for (int rc; (rc = reader.next(text)) != 0;) {
      FUZZ_CHECK(rc == 1 || rc == FIAS_READ_NOT_STX || rc == FIAS_READ_TOO_LONG);
      got.push_back({rc, rc == 1 ? text : ""});
    }
  }
  FUZZ_CHECK(got == want.results);
  FUZZ_CHECK(reader.inside_record() == want.inside_record);
  FUZZ_CHECK(reader.partial_record() == want.partial);

  // A new connection starts with nothing of the old one.
  reader.reset();
  FUZZ_CHECK(!reader.inside_record());
  FUZZ_CHECK(reader.next(text) == 0);
  return 0;
}
