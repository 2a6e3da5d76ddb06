#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "Session/DirectAuthEvent.hpp"
#include "Session/DirectAuthEventSystemLog.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

using namespace DirectAuthEventKinds;

struct Row {
  DirectAuthEvent::Kind kind;
  std::string line;
};

// One row per kind in the kinds' fixed order, with hand-written lines.
std::vector<Row> everyKind() {
  return {
      {TcpConnectAttempt{"10.0.0.2", 9000}, "TCP connect attempt to 10.0.0.2:9000"},
      {TcpConnectFailure{"refused"}, "TCP connect failed: refused"},
      {RegistrationCommandSent{65535}, "Registration command 9 sent (comNum=65535)"},
      {ManagerFrame{4, 120, 2}, "Manager frame: command=4, payloadBytes=120, comNum=2"},
      {LegacyManagerCommand{21, "GET_SCREEN", 523, 1},
       "Legacy command: 0x15 GET_SCREEN, payloadBytes=523, comNum=1"},
      {LegacyComInfoResponseSent{7, 679,
                                 "ip=10.0.0.5, 1920x1080, cpu=12%, ram=40%/16GB, diskFree=1000, uptime=3h"},
       "Legacy GET_COMINFO response sent (comNum=7, payloadBytes=679, ip=10.0.0.5, 1920x1080, cpu=12%, "
       "ram=40%/16GB, diskFree=1000, uptime=3h)"},
      {LegacyComInfoSnapshotFailed{"no data"},
       "Legacy GET_COMINFO snapshot failed (using fallback): no data"},
      {LegacyComInfoResponseFailed{"boom"}, "Legacy GET_COMINFO response failed: boom"},
      {ScreenRequest{2880, 1800, 1728, 1080, false, -3, 9},
       "GET_SCREEN request: source=2880x1800, target=1728x1080, cursor=false, accel=-3, comNum=9"},
      {ScreenInfoResponseSent{9, 523, 2880, 1800, 1728, 1080},
       "GET_SCREEN_INFO response sent (comNum=9, payloadBytes=523, source=2880x1800, target=1728x1080)"},
      {ScreenCaptureStarted{1920, 1080, 30}, "Screen capture started (1920x1080 @ 30 fps)"},
      {ScreenFirstEncodedFrame{70000, 2, false},
       "First encoded screen frame sent (delta, bytes=70000, chunks=2)"},
      {ScreenFrameStats{300, 1234567, 3}, "Screen frame stats: frames=300, bytes=1234567, keyframes=3"},
      {ScreenStopped{"GET_SCREEN_END"}, "Screen stream stopped: GET_SCREEN_END"},
      {ScreenPermissionDenied{"no"},
       "Screen Recording permission denied (control session remains connected): no"},
      {ScreenStreamError{"x"},
       "Screen stream error (stream stopped; control session remains when possible): x"},
      {InputEventApplied{"mouseMove", 1}, "Remote input applied: kind=mouseMove, count=1"},
      {InputPermissionDenied{"d"}, "Accessibility permission denied (screen/control TCP remains active): d"},
      {InputPacketRejected{"r"}, "Remote input ignored: r"},
      {ClipboardSent{"text", 5, 1}, "Clipboard sent: kind=text, bytes=5, items=1"},
      {ClipboardReceived{"files", 0, 3}, "Clipboard received: kind=files, bytes=0, items=3"},
      {ClipboardRejected{"bad"}, "Clipboard payload ignored: bad"},
      {FileTransferStarted{"toManager", 2}, "File transfer started: direction=toManager, files=2"},
      {FileTransferProgress{"fromManager", 1, 2, 4096, 8192},
       "File transfer: direction=fromManager, file=1/2, bytes=4096/8192"},
      {FileTransferCompleted{"toManager", 2}, "File transfer completed: direction=toManager, files=2"},
      {FileTransferFailed{"disk full"}, "File transfer failed: disk full"},
      {SingleFileListSent{"/tmp", 12}, "Single-file list sent: path=/tmp, items=12"},
      {SingleFileListFailed{"denied"}, "Single-file list failed: denied"},
      {SingleFileCommandCompleted{4}, "Single-file command completed: command=4"},
      {SingleFileCommandFailed{"nope"}, "Single-file command failed: nope"},
      {SystemCommandAccepted{"reboot"}, "System command accepted: reboot"},
      {SystemCommandFailed{"reboot", "launch failed"}, "System command failed: reboot, error=launch failed"},
      {Error{"oops"}, "Error: oops"},
      {TcpConnectReady{}, "TCP connection ready"},
      {AuthCommandSent{}, "Auth command 8 sent"},
      {AuthAccepted{}, "Auth accepted"},
      {AuthRejected{}, "Auth rejected"},
      {ManagerRegistrationComplete{}, "Manager registration complete"},
      {PasteDestinationSent{}, "Paste destination sent to manager"},
      {Disconnect{}, "Disconnected"},
  };
}

TEST(DirectAuthEvent, EveryKindRendersItsLine) {
  const auto rows = everyKind();
  ASSERT_EQ(rows.size(), 40u);
  std::set<std::size_t> indices;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].line);
    // The rows follow the kinds' order, so every kind is covered exactly once.
    EXPECT_EQ(rows[i].kind.index(), i);
    indices.insert(rows[i].kind.index());
    const DirectAuthEvent event{std::chrono::system_clock::time_point{}, rows[i].kind};
    EXPECT_EQ(event.message(), rows[i].line);
    EXPECT_FALSE(event.message().empty());
  }
  EXPECT_EQ(indices.size(), 40u);
}

TEST(DirectAuthEvent, NumberRenderingEdges) {
  const std::vector<Row> rows{
      {LegacyManagerCommand{16, "GET_COMINFO", 0, 0},
       "Legacy command: 0x10 GET_COMINFO, payloadBytes=0, comNum=0"},
      {LegacyManagerCommand{255, "UNKNOWN_255", 1, 1},
       "Legacy command: 0xFF UNKNOWN_255, payloadBytes=1, comNum=1"},
      {LegacyManagerCommand{256, "UNKNOWN_256", 1, 1},
       "Legacy command: 0x100 UNKNOWN_256, payloadBytes=1, comNum=1"},
      {LegacyManagerCommand{300, "X", 1, 1}, "Legacy command: 0x12C X, payloadBytes=1, comNum=1"},
      {LegacyManagerCommand{0, "Z", 1, 1}, "Legacy command: 0x00 Z, payloadBytes=1, comNum=1"},
      {LegacyManagerCommand{0xFFFFFFFFu, "M", 1, 1},
       "Legacy command: 0xFFFFFFFF M, payloadBytes=1, comNum=1"},
      // The frame command is decimal, never hexadecimal (not 0x0C).
      {ManagerFrame{12, 0, 0}, "Manager frame: command=12, payloadBytes=0, comNum=0"},
      {ManagerFrame{255, -1, 0}, "Manager frame: command=255, payloadBytes=-1, comNum=0"},
      {ScreenRequest{-1, 0, 0, 0, true, -2147483647 - 1, 0},
       "GET_SCREEN request: source=-1x0, target=0x0, cursor=true, accel=-2147483648, comNum=0"},
      {ScreenFirstEncodedFrame{1, 1, true}, "First encoded screen frame sent (keyframe, bytes=1, chunks=1)"},
      {FileTransferProgress{"d", 0, 0, -5, 9223372036854775807LL},
       "File transfer: direction=d, file=0/0, bytes=-5/9223372036854775807"},
      // Braces and percent signs are carried as they are; a line break from outside cannot start a
      // line of its own.
      {Error{"a\nb {} %s"}, "Error: a\\x0Ab {} %s"},
      {TcpConnectAttempt{"127.0.0.1\nFAKE", 1}, "TCP connect attempt to 127.0.0.1\\x0AFAKE:1"},
      {FileTransferFailed{"\x1b[2Jcleared"}, "File transfer failed: \\x1B[2Jcleared"},
      {TcpConnectFailure{""}, "TCP connect failed: "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(directAuthEventMessage(row.kind), row.line);
  }
}

class LevelGuard {
 public:
  ~LevelGuard() { SystemLog::setMinimumLevel(LogLevel::info); }
};

TEST(OSLogDirectAuthSystemLogger, MirrorsTheLineUnderConnectionCategory) {
  EXPECT_EQ(OSLogDirectAuthSystemLogger::subsystem, "local.vantrel.VantrelMac");
  EXPECT_EQ(OSLogDirectAuthSystemLogger::category, "connection");
  LevelGuard guard;
  SystemLog::setMinimumLevel(LogLevel::info);
  MemoryLogSink sink;
  OSLogDirectAuthSystemLogger logger{SystemLog(std::string(OSLogDirectAuthSystemLogger::subsystem),
                                               std::string(OSLogDirectAuthSystemLogger::category))};
  logger.mirror(DirectAuthEvent::now(Error{"multi\nline"}));
  const auto entries = sink.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].subsystem, "local.vantrel.VantrelMac");
  EXPECT_EQ(entries[0].category, "connection");
  EXPECT_EQ(entries[0].level, LogLevel::notice);
  EXPECT_EQ(entries[0].message, "Error: multi\\x0Aline");
}

TEST(OSLogDirectAuthSystemLogger, DisabledLevelWritesNothing) {
  LevelGuard guard;
  MemoryLogSink sink;
  OSLogDirectAuthSystemLogger logger(SystemLog("local.vantrel.VantrelMac", "connection"));
  SystemLog::setMinimumLevel(LogLevel::error);
  logger.mirror(DirectAuthEvent::now(AuthAccepted{}));
  EXPECT_TRUE(sink.entries().empty());
  SystemLog::setMinimumLevel(LogLevel::info);
  logger.mirror(DirectAuthEvent::now(AuthAccepted{}));
  EXPECT_EQ(sink.entries().size(), 1u);
}

}  // namespace
}  // namespace vantrel
