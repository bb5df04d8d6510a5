// Feedback outside the terminal: the status file and the sound cues.
//
// Both live in the assistant's shared data directory; the status is also
// kept for the user who runs the program, in their session's runtime folder.
#pragma once

inline constexpr const char *data_dir = "/usr/share/extras/tovu";
inline constexpr const char *status_path = "/usr/share/extras/tovu/status";
// The user's own status file in $XDG_RUNTIME_DIR: one file of its own name
// beside the session's others, with no folder to make and check on the way.
inline constexpr const char *own_status_name = "tovu-status";

// Replaces the status file with `word` and a newline, creating the data
// directory first when needed, and likewise the user's own status file when
// $XDG_RUNTIME_DIR is a folder of theirs alone. Fails silently.
void write_status(const char *word);

enum class Cue { start, stop, error };

// Plays the cue through the shell and waits for the player, when the cue's
// file is readable; otherwise does nothing. The player's outcome is ignored.
void play_cue(Cue cue);
