#include "model_server.h"

#include "sandbox.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sandbox {

namespace {

const char *const archives_py = R"py(
import os, sys, zipfile
model, out = sys.argv[1:3]
top = "vosk-model-test/"

def write_model(z, prefix):
    for folder, subdirs, names in sorted(os.walk(model)):
        rel = os.path.relpath(folder, model)
        rel = "" if rel == "." else rel + "/"
        if prefix or rel:
            z.write(folder, prefix + rel)
        for name in sorted(names):
            z.write(os.path.join(folder, name), prefix + rel + name)

def archive(name, readme=b"a generated model\n", extra=None, prefix=top, model_too=True,
            method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(os.path.join(out, name), "w", method) as z:
        if model_too:
            write_model(z, prefix)
        else:
            z.writestr(prefix, b"")
        if readme is not None:
            z.writestr(prefix + "README", readme)
        if extra:
            extra(z)

def link(z):
    info = zipfile.ZipInfo(top + "graph/etc")
    info.create_system = 3
    info.external_attr = 0o120777 << 16
    z.writestr(info, "/etc")

archive("good.zip")
archive("big.zip", readme=os.urandom(2 * 10**6), method=zipfile.ZIP_STORED)
good = open(os.path.join(out, "good.zip"), "rb").read()
open(os.path.join(out, "truncated.zip"), "wb").write(good[: len(good) // 2])
archive("nomodel.zip", model_too=False)
archive("flat.zip", prefix="", readme=None)
archive("dotdot.zip", extra=lambda z: z.writestr(top + "../escaped", b"x"))
archive("absolute.zip", extra=lambda z: z.writestr("/tmp/escaped", b"x"))
archive("link.zip", extra=link)
)py";

const char *const server_py = R"py(
import http.server, os, sys, urllib.parse
root, log, events = sys.argv[1:4]

class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(log, "a") as f:
            f.write("GET %s\n" % self.path)
        name = urllib.parse.urlsplit(self.path).path.lstrip("/")
        mode, _, rest = name.partition("-")
        if mode not in ("cut", "stall"):
            mode, rest = "", name
        path = os.path.join(root, rest)
        if "/" in rest or not os.path.isfile(path):
            self.send_error(404)
            return
        data = open(path, "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if not mode:
            self.wfile.write(data)
            return
        self.wfile.write(data[: len(data) // 2])
        self.close_connection = True
        if mode == "stall":
            with open(events, "w") as f:
                f.write("stalled\n")
            self.rfile.read(1)  # until the client has gone

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
)py";

} // namespace

bool make_model_archives(const std::string &dir) {
    const Shell made = shell("mkdir -p " + quote(dir) + " && python3 -I -c " + quote(archives_py) +
                             " " + quote(fixture("model")) + " " + quote(dir));
    if (made.status != 0) {
        fail("cannot make the model archives (status " + std::to_string(made.status) + "):\n" +
             made.out);
    }
    return made.status == 0;
}

std::string sha256_of(const std::string &path) {
    return shell("sha256sum " + quote(path)).out.substr(0, 64);
}

ModelServer::ModelServer(const std::string &dir, const std::string &events)
    : log_(dir + "/../requests.log") {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        fail("pipe");
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        execlp("python3", "python3", "-I", "-c", server_py, dir.c_str(), log_.c_str(),
               events.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    ChildOutput output;
    output.fds[0] = out[0];
    while (output.text[0].find('\n') == std::string::npos && pump_output(output, 20000)) {
    }
    if (output.fds[0] >= 0) {
        close(output.fds[0]);
    }
    port_ = std::atoi(output.text[0].c_str());
    if (port_ <= 0) {
        fail("the model server did not start");
    }
}

ModelServer::~ModelServer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string ModelServer::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::vector<std::string> ModelServer::requests() const {
    return read_lines(log_);
}

} // namespace sandbox
