#pragma once

// The window host: the agent's executable started again by a process that serves
// sessions in a Wayland session, to show that process's banner and consent dialog.
// GTK on Wayland ends its process when the compositor goes away; here it ends only
// this one, and the session's own process stays to finish the recording. It reads
// WindowHostMessage lines on its standard input and answers there, and ends when the
// other side closes. Runs GTK on the calling (main) thread; returns the exit status.

namespace vela {

int runWindowHost();

}  // namespace vela
