// The texts of the server's reports: "operation(reason)" for a failure of
// the port, "caption:text" for the line that reports it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lorvane {

inline constexpr std::string_view captionPortOpen = "ポートオープンエラー";
inline constexpr std::string_view captionSend = "データ送信エラー";
inline constexpr std::string_view captionReceive = "データ受信エラー";
inline constexpr std::string_view captionFileOpen = "ファイルオープンエラー";
inline constexpr std::string_view captionFileWrite = "ファイル書き込みエラー";

inline constexpr std::string_view opOpen = "RS232C Open Error";
inline constexpr std::string_view opSetupComm = "RS232C SetupComm Error";
inline constexpr std::string_view opSetCommState = "RS232C SetCommState Error";
inline constexpr std::string_view opWrite = "RS232C Write Error";
inline constexpr std::string_view opCreateEvent = "RS232C CreateEvent Error";
inline constexpr std::string_view opSetCommMask = "RS232C SetCommMask Error";
inline constexpr std::string_view opRead = "RS232C Read Error";
inline constexpr std::string_view opReadFile = "RS232C ReadFile Error";

inline constexpr std::size_t errorTextLimit = 255;

// The first bytes of `text`, at most `limit`, never cutting a UTF-8
// character in two.
std::string cutAtCharacter(std::string_view text, std::size_t limit);

// "operation(reason)", cut to 255 bytes.
std::string composeErrorText(std::string_view operation,
                             std::string_view reason);

// "caption:text".
std::string reportLine(std::string_view caption, std::string_view text);

}  // namespace lorvane
