// Fuzz target: an arbitrary byte stream from the manager, read message by message with mgr_read.
// Lines come out as the protocol cuts them (at LF, a CR before it removed, NUL bytes dropped); a
// line too long for the session's buffer is dropped whole; a message keeps at most 255 lines of at most 1023 characters, every
// line of the stream is kept, counted as dropped, or is the empty line that ends a message, and
// only a message that begins with "Response: Follows" holds empty lines.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "mgr.h"

namespace {

// The lines a session delivers from `sent`: every LF-ended line that fits the session's buffer
// together with its LF once the NUL bytes are gone; an unended tail is no line.
std::vector<std::string> lines_of_stream(std::string_view sent) {
  std::string without_nul(sent);
  std::erase(without_nul, '\0');
  const std::string_view stream = without_nul;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t lf; (lf = stream.find('\n', start)) != std::string_view::npos; start = lf + 1) {
    std::string_view line = stream.substr(start, lf - start);
    if (line.size() + 1 > static_cast<size_t>(mansession::inbuf_max)) continue;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
  }
  return lines;
}

bool starts_with_ignoring_case(std::string_view row, std::string_view prefix) {
  if (row.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(row[i]) != lower(prefix[i])) return false;
  }
  return true;
}

// Header look-ups on a message: the value is the rest of the first row that begins with the
// name (in any case), a colon and a blank, or empty when no row does. A name taken from the first
// row finds that row's value.
void check_headers(const message& m) {
  std::vector<std::string_view> names = {"Event", "Message", "Response", "uniqueid", ""};
  if (m.hdrcount > 0) {
    const std::string_view row = m.headers[0];
    if (const size_t colon = row.find(": "); colon != std::string_view::npos)
      names.push_back(row.substr(0, colon));
  }
  for (std::string_view name : names) {
    std::string_view want;
    for (int i = 0; i < m.hdrcount; ++i) {
      const std::string_view row = m.headers[static_cast<size_t>(i)];
      if (starts_with_ignoring_case(row, name) && row.substr(name.size(), 2) == ": ") {
        want = row.substr(name.size() + 2);
        break;
      }
    }
    const std::string_view got = mgr_get_header(m, name);
    FUZZ_CHECK(got == want);
    FUZZ_CHECK(got.empty() || got.data() == want.data());
  }
}

void check_messages(std::string_view bytes) {
  fed_stream in = feed_stream(bytes);
  const std::vector<std::string> want = lines_of_stream(in.sent);
  mansession s;
  s.fd = std::move(in.reader);
  auto m = std::make_unique<message>();  // 256 rows: kept off the stack
  size_t next = 0;  // the first line of the stream that the current message takes
  for (;;) {
    m->clear();
    const int res = mgr_read(s, *m);
    FUZZ_CHECK(m->hdrcount >= 0 && m->hdrcount <= message::max_headers);
    FUZZ_CHECK(m->in_command == 0 || m->in_command == 1);
    for (int i = 0; i <= m->hdrcount; ++i)
      FUZZ_CHECK(m->headers[static_cast<size_t>(i)].size() <= message::max_line);
    if (res < 0) break;
    FUZZ_CHECK(res == 1);
    const size_t rows = static_cast<size_t>(m->hdrcount);
    FUZZ_CHECK(next + rows <= want.size());
    for (size_t i = 0; i < rows; ++i) {
      FUZZ_CHECK(m->headers[i] == want[next + i]);
      FUZZ_CHECK(!m->headers[i].empty() || m->headers[0] == "Response: Follows");
    }
    next += rows + static_cast<size_t>(m->dropped);
    FUZZ_CHECK(next < want.size() && want[next].empty());
    ++next;
    check_headers(*m);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet();
  check_messages(as_text(data, size));
  return 0;
}
