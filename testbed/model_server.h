// Model archives for the model installer (scripts/get-model.sh), made from a
// generated model, and a loopback HTTP server of the test's own that serves
// them. No test framework here: failures go to the harness (sandbox.h).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

// Writes into `dir` zip archives of the generated model "model", laid out as
// the published ones are (one top folder, "vosk-model-test/"):
//   good.zip       the model and a README
//   big.zip        the same with a README of 2 MB, stored uncompressed
//   truncated.zip  the first half of good.zip
//   nomodel.zip    a top folder with a README only
//   flat.zip       the model's files with no top folder
//   dotdot.zip, absolute.zip, link.zip
//                  good.zip plus an entry "vosk-model-test/../escaped", an
//                  entry "/tmp/escaped", or a symbolic link to "/etc"
// False, the failure reported (fail()), when they cannot be made.
bool make_model_archives(const std::string &dir);

std::string sha256_of(const std::string &path);

// Serves the files of a folder on 127.0.0.1 on a port of its own, from the
// constructor to the destructor. Two kinds of path misbehave:
//   /cut-NAME    sends the full length of NAME but only its first half, then
//                closes the connection;
//   /stall-NAME  sends the first half, writes "stalled" to the FIFO
//                `events`, then sends nothing more until the client goes.
// Any other path is a file of the folder, or 404. A proxy request
// ("GET http://host/NAME") is answered as one for /NAME.
class ModelServer {
  public:
    ModelServer(const std::string &dir, const std::string &events);
    ~ModelServer();
    ModelServer(const ModelServer &) = delete;
    ModelServer &operator=(const ModelServer &) = delete;

    int port() const { return port_; }
    std::string url(const std::string &path) const; // "http://127.0.0.1:PORT/" + path
    // The requests so far, in order: "GET /good.zip", ...
    std::vector<std::string> requests() const;

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_;
};

} // namespace sandbox
