// Manager read path: messages per second from a loopback socket carrying a busy PBX's events.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>

#include "logger.h"
#include "mgr.h"

namespace {

std::string event(const std::string& name, std::initializer_list<std::string> lines) {
  std::string text = "Event: " + name + "\r\nPrivilege: call,all\r\n";
  for (const auto& line : lines) text += line + "\r\n";
  return text + "\r\n";
}

// The events of one answered outgoing call of a guest room, as Asterisk 18 sends them: many
// call events and one Cdr at the end.
std::string one_call(int n) {
  const std::string id = "1709647629." + std::to_string(n);
  const std::string chan = "Channel: PJSIP/101-000" + std::to_string(n);
  const std::string common = "Uniqueid: " + id;
  const std::string caller =
      "CallerIDNum: 101\r\nCallerIDName: Room 101\r\nConnectedLineNum: <unknown>";
  const std::string where = "Context: from-rooms\r\nExten: 0049301234567\r\nPriority: 1";
  std::string s;
  s += event("Newchannel", {chan, "ChannelState: 0", "ChannelStateDesc: Down", caller,
                            "Language: en", "AccountCode: ", where, common, "Linkedid: " + id});
  for (const char* var : {"SIPCALLID=3c2a@10.0.0.5", "CHANNEL(language)=en", "__ROOM=101"})
    s += event("VarSet",
               {chan, "ChannelState: 4", caller, where, common, std::string("Variable: ") + var});
  for (const char* app : {"Set", "NoOp", "Dial"})
    s +=
        event("Newexten", {chan, "ChannelState: 4", caller, where, common,
                           std::string("Application: ") + app, "AppData: SIP/trunk/0049301234567"});
  s += event("DialBegin", {chan, caller, where, common, "DestChannel: PJSIP/trunk-0002",
                           "DialString: trunk/0049301234567"});
  s += event("Newstate", {chan, "ChannelState: 6", "ChannelStateDesc: Up", caller, where, common});
  s += event("DialEnd", {chan, caller, where, common, "DialStatus: ANSWER"});
  s += event("BridgeEnter", {"BridgeUniqueid: 9f1e", "BridgeType: basic", chan, caller, common});
  s += event("BridgeLeave", {"BridgeUniqueid: 9f1e", "BridgeType: basic", chan, caller, common});
  s += event("Hangup", {chan, "ChannelState: 6", caller, where, common, "Cause: 16",
                        "Cause-txt: Normal Clearing"});
  s += "Event: Cdr\r\nPrivilege: cdr,all\r\nAccountCode: \r\nSource: 101\r\n"
       "Destination: 0049301234567\r\nDestinationContext: from-rooms\r\n"
       "CallerID: \"Room 101\" <101>\r\n" +
       chan +
       "\r\nDestinationChannel: PJSIP/trunk-0002\r\n"
       "LastApplication: Dial\r\nLastData: PJSIP/trunk/0049301234567,60\r\n"
       "StartTime: 2024-03-05 14:07:09\r\nAnswerTime: 2024-03-05 14:07:15\r\n"
       "EndTime: 2024-03-05 14:09:15\r\nDuration: 126\r\nBillableSeconds: 120\r\n"
       "Disposition: ANSWERED\r\nAMAFlags: DOCUMENTATION\r\n" +
       common + "\r\nUserField: \r\n\r\n";
  return s;
}

// The read loop of the manager thread: one message at a time into a record cleared before each
// read, every line logged at DEBUG (filtered at level 3), the Event header looked up.
void BM_ManagerReadPath(benchmark::State& state) {
  logger_init(nullptr, 3, 0, 0);
  std::string stream;
  for (int n = 0; stream.size() < (1 << 20); ++n) stream += one_call(n);

  unique_fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listener.get(), 1);
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);

  mansession s;
  if (mgr_init(s, "127.0.0.1", ntohs(addr.sin_port), "bench", "bench") < 0 || mgr_connect(s) < 0) {
    state.SkipWithError("cannot connect over loopback");
    return;
  }
  unique_fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));

  // The manager side: sends the recorded stream over and over until the reader goes away.
  std::thread manager([&] {
    for (;;) {
      for (std::size_t done = 0; done < stream.size();) {
        const ssize_t n =
            ::send(peer.get(), stream.data() + done, stream.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
      }
    }
  });

  auto m = std::make_unique<message>();
  char iabuf[256];
  mgr_inet_ntoa(iabuf, sizeof iabuf, s.sin.sin_addr);
  int64_t other = 0;
  int64_t cdr = 0;
  for (auto _ : state) {
    m->clear();
    if (mgr_read(s, *m) < 0) {
      state.SkipWithError("connection lost");
      break;
    }
    for (int i = 0; i < m->hdrcount; ++i)
      LOG(L_DEBUG, "%s got: %s", iabuf, m->headers[static_cast<std::size_t>(i)].c_str());
    const std::string_view name = mgr_get_header(*m, "Event");
    if (name.size() == 3 && (name[0] | 0x20) == 'c' && (name[1] | 0x20) == 'd' &&
        (name[2] | 0x20) == 'r')
      ++cdr;
    else
      ++other;
  }
  // Closing with unread data resets the connection, which ends the manager's blocked send.
  s.fd.reset();
  manager.join();

  state.SetItemsProcessed(other);
  state.counters["non_cdr_msgs_per_s"] =
      benchmark::Counter(static_cast<double>(other), benchmark::Counter::kIsRate);
  state.counters["cdr_msgs"] = static_cast<double>(cdr);
  int64_t messages_in_stream = 0;
  for (auto pos = stream.find("\r\n\r\n"); pos != std::string::npos;
       pos = stream.find("\r\n\r\n", pos + 4))
    ++messages_in_stream;
  state.SetBytesProcessed((other + cdr) * static_cast<int64_t>(stream.size()) / messages_in_stream);
}
BENCHMARK(BM_ManagerReadPath)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
