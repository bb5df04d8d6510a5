// Desktop notifications: why a run failed, for a user who started it from a
// hotkey and sees no terminal.
#pragma once

// The longest that a notification may hold the run up: a session bus or a
// notification service that does not answer within it is left behind.
inline constexpr int notify_wait_ms = 300;

// Shows `summary` and `body` (plain text) as one desktop notification of
// tovu-voice's, through org.freedesktop.Notifications on the session bus.
// Sends nothing when standard output is a terminal or there is no session
// bus; returns once the service has answered, at the latest after
// notify_wait_ms. Fails silently.
void notify_user(const char *summary, const char *body);
