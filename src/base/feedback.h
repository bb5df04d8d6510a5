// Feedback outside the terminal: the status file and the sound cues.
//
// Both live in the assistant's shared data directory; the status is also
// kept for the user who runs the program, in their session's runtime folder.
#pragma once

#include <sys/types.h>

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

// A cue that plays while the program goes on, until wait() or the end of
// the scope, which wait for the player.
class CuePlayer {
  public:
    explicit CuePlayer(pid_t pid) : pid_(pid) {}
    ~CuePlayer() { wait(); }
    CuePlayer(CuePlayer &&other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    CuePlayer(const CuePlayer &) = delete;
    CuePlayer &operator=(const CuePlayer &) = delete;
    CuePlayer &operator=(CuePlayer &&) = delete;
    void wait();

  private:
    pid_t pid_;
};

// Starts the cue's player as play_cue() would run it, without waiting; an
// unreadable cue file, or a player that cannot start, plays nothing.
CuePlayer start_cue(Cue cue);
