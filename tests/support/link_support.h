// Test helpers for the PMS link: a socketpair standing in for the connection, a pms_link on one
// end of it, and the frames of a byte stream split as a PMS would split them.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "fdutils.h"
#include "pmslink.h"

namespace testlink {

// Two connected stream sockets: `daemon` is the daemon's end, `pms` the PMS's.
struct socket_pair {
  socket_pair();
  unique_fd daemon, pms;
};

// A pms_link on the daemon's end of a socketpair; the test plays the PMS on `pms`.
struct paired_link {
  explicit paired_link(link_timing timing = {});
  pms_link link;
  unique_fd pms;
};

// The frames of a byte stream: the text of each whole STX...ETX frame in order, the bytes that
// stood outside a frame (an unfinished frame cut by a new STX counts as such), and the start of
// a frame left unfinished at the end of the stream (STX included).
struct split_stream {
  std::vector<std::string> records;
  size_t stray = 0;
  std::string rest;
};
split_stream split_frames(std::string_view stream);

// Everything `fd` holds now, read without waiting, split into frames.
split_stream frames_waiting(int fd);

// Bytes waiting to be read on `fd`.
int queued(int fd);

// The next record `link` receives within `limit`, reading as the daemon's main loop does (bytes
// the framing refuses are passed over); "<link lost>" when the connection ends or fails,
// "<none>" when nothing whole came in time.
std::string next_record_within(pms_link& link,
                               std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace testlink
