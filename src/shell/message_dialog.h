// The one routine through which every message reaches the user.
#pragma once

#include <cstdint>
#include <string>

namespace lumora {

enum class MessageKind { Warning = 0, Error = 1, Information = 2 };

// "Warning", "Error", "Information".
const char* MessageCaption(MessageKind kind);
// The system icon of the kind: IDI_EXCLAMATION, IDI_HAND, IDI_ASTERISK.
int MessageIconId(MessageKind kind);

// The button set: the program always passes the OK button alone.
enum MessageButton : uint32_t { kButtonOk = 1u << 2 };
using MessageButtons = uint32_t;

// Results: OK pressed (mouse, Enter or Esc), or closed without it.
constexpr int kResultOk = 1;
constexpr int kResultClosed = 2;

// Line breaks inside the system's message texts: LF then CR.
inline constexpr const char kBreak[] = "\n\r";

}  // namespace lumora
