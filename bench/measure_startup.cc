#include "measures.h"
#include "table.h"

void report_startup(const std::vector<ProgramRuns> &utterances) {
    std::vector<double> all;
    std::vector<double> loader;
    std::vector<double> model;
    std::vector<double> pcm_open;
    std::vector<double> shell;
    std::vector<double> total;
    std::vector<double> bare_loader;
    for (const ProgramRuns &u : utterances) {
        for (size_t i = 0; i < u.program.size(); ++i) {
            const Run &program = u.program[i];
            const Report &probe = program.probe;
            // Shell commands before listening.
            double shell_before = 0;
            for (const SystemCall &call : system_calls(probe)) {
                if (call.start_ns < probe.get("first_read_ns")) {
                    shell_before += ms(call.duration_ns);
                }
            }
            const double engine = ms(probe.get("model_ns") + probe.get("recognizer_ns"));
            const double whole = ms(program.listening_ns - program.exec_ns);
            total.push_back(whole);
            model.push_back(engine);
            all.push_back(whole - engine);
            loader.push_back(ms(probe.get("ctor_ns") - program.exec_ns));
            pcm_open.push_back(ms(probe.get("pcm_open_ns")));
            shell.push_back(shell_before);
            bare_loader.push_back(ms(u.bare[i].probe.get("ctor_ns") - u.bare[i].exec_ns));
        }
    }
    const double s = median(all);
    add_row({"start-up to \"Listening... \" minus model load (ms)", fmt("%.2f", s), "", "",
             goal("<= 5 ms", s <= 5)});
    add_row({"  whole start-up (ms)", fmt("%.2f", median(total)), "", "", ""});
    add_row({"  model + recognizer creation (ms)", fmt("%.2f", median(model)), "", "", ""});
    add_row({"  loading the libraries, exec to first code (ms)", fmt("%.2f", median(loader)),
             fmt("%.2f", median(bare_loader)), fmt("%.3f", median(loader) / median(bare_loader)),
             ""});
    add_row({"  opening the capture device (ms)", fmt("%.2f", median(pcm_open)), "", "", ""});
    add_row({"  mkdir -p of the status directory through the shell (ms)",
             fmt("%.2f", median(shell)), "", "", ""});
}
