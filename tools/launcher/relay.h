#pragma once
// Byte relays between the launcher's standard streams and the helper's pipes. Each runs on
// its own thread and owns both of its handles, so whatever end of the run comes first, each
// handle is closed once and by the thread that used it.

#include "os/win32_handle.h"

namespace kestrune::launcher {

using UniqueHandle = os::UniqueWin32Handle;

/// Bytes one relay moves per read and write. Small on purpose: together with the helper's
/// small pipes it keeps back-pressure reaching the helper instead of piling up here.
inline constexpr unsigned long kRelayChunk = 4096;

/// Starts a thread copying `from` to `to`, each chunk written as soon as it is read. When
/// `from` ends (ReadFile TRUE with 0 bytes, or FALSE for any reason such as a broken pipe)
/// or a write to `to` fails, the thread closes both handles and ends: the reader of `to`
/// sees end of input, the writer of `from` sees its reader gone. Returns the thread, or no
/// handle when it could not start (the two handles are then closed at once, with the same
/// effect on both sides).
UniqueHandle start_relay(UniqueHandle from, UniqueHandle to);

}  // namespace kestrune::launcher
