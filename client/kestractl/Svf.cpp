// kestractl svf: checks the whole file first (nothing is sent for a file that
// cannot be played), then plays it through client/svf and renders progress,
// mismatches and the summary.
#include "client/kestractl/CommandParts.h"

#include "client/svf/SvfPlayer.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

namespace kestractl {

void SvfOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    st.file = "";
    sub.add_option("FILE", st.file, "SVF file, or - for stdin")->required();
    sub.add_flag("--keep-going", st.keepGoing, "count TDO mismatches instead of stopping at the first");
}

namespace {

using namespace kestrad::svf;

// Standard input is read twice (check, then play), so it is kept in a
// temporary file that is removed on return.
class CSpool {
public:
    CSpool()
    {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/kestractl-svf-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = ::mkstemp(name.data());
        if (fd < 0)
            throw LocalError("cannot create a temporary file in " + pattern + ": " +
                             std::strerror(errno));
        m_path = name.data();
        ::close(fd);
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        std::vector<char> buffer(64 * 1024);
        while (std::cin) {
            std::cin.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            out.write(buffer.data(), std::cin.gcount());
        }
        out.close();
        if (!out)
            throw LocalError("cannot copy standard input to " + m_path + ": " + std::strerror(errno));
    }
    ~CSpool() { ::unlink(m_path.c_str()); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

std::ifstream OpenText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw LocalError("cannot open '" + path + "': " + std::strerror(errno));
    return in;
}

std::string Rate(double perSecond, const char* unit)
{
    static const char* prefixes[] = {"", "k", "M", "G"};
    int p = 0;
    while (perSecond >= 1000 && p < 3) {
        perSecond /= 1000;
        ++p;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.1f %s%s/s", perSecond, prefixes[p], unit);
    return buf;
}

// One progress line on stderr, redrawn at most ten times a second.
class CSvfProgress {
public:
    CSvfProgress(const SvfTotals& total, bool enabled)
        : m_total(total), m_enabled(enabled && ::isatty(STDERR_FILENO))
    {
    }
    ~CSvfProgress() { Done(); }
    void Update(const SvfReport& r)
    {
        if (!m_enabled || r.seconds - m_last < 0.1)
            return;
        m_last = r.seconds;
        const double frac = m_total.scanBits ? double(r.done.scanBits) / m_total.scanBits
                            : m_total.statements ? double(r.done.statements) / m_total.statements
                                                 : 1.0;
        std::string eta = "--:--";
        if (frac > 0 && r.seconds > 0) {
            const long left = std::lround(r.seconds / frac - r.seconds);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%ld:%02ld", left / 60, left % 60);
            eta = buf;
        }
        std::fprintf(stderr, "\rsvf %3d%%  %llu/%llu statements  %llu/%llu bits  %s  %s  %s left ",
                     static_cast<int>(frac * 100), static_cast<unsigned long long>(r.done.statements),
                     static_cast<unsigned long long>(m_total.statements),
                     static_cast<unsigned long long>(r.done.scanBits),
                     static_cast<unsigned long long>(m_total.scanBits),
                     Rate(r.done.scanBits / std::max(r.seconds, 1e-9), "bit").c_str(),
                     Rate(r.done.statements / std::max(r.seconds, 1e-9), "st").c_str(), eta.c_str());
        std::fflush(stderr);
        m_drawn = true;
    }
    void Done()
    {
        if (m_drawn)
            std::fputc('\n', stderr);
        m_drawn = false;
    }

private:
    SvfTotals m_total;
    bool m_enabled;
    bool m_drawn = false;
    double m_last = -1;
};

Json Summary(const Step& step, const SvfReport& r)
{
    Json j;
    j["adapter"] = step.adapter;
    j["file"] = step.file;
    j["statements"] = r.done.statements;
    j["scans"] = r.done.scans;
    j["scan_bits"] = r.done.scanBits;
    j["batches"] = r.batches;
    j["commands"] = r.commands;
    j["mismatches"] = r.mismatches;
    j["seconds"] = r.seconds;
    j["bits_per_second"] = r.seconds > 0 ? r.done.scanBits / r.seconds : 0.0;
    j["statements_per_second"] = r.seconds > 0 ? r.done.statements / r.seconds : 0.0;
    return j;
}

}  // namespace

int RunSvf(const Step& step, const Settings& settings)
{
    Json doc;
    doc["ok"] = false;
    int status = EXIT_OK;
    CSession session(settings);
    try {
        std::unique_ptr<CSpool> spool;
        if (step.file == "-")
            spool = std::make_unique<CSpool>();
        const std::string path = spool ? spool->Path() : step.file;
        const std::string shown = spool ? "<stdin>" : step.file;
        SvfTotals totals;
        try {
            std::ifstream in = OpenText(path);
            totals = CheckSvf(in);
        } catch (const CSvfError& e) {
            throw UsageError(shown + ": " + e.what());
        }

        session.Hold(step.adapter);
        CSvfProgress progress(totals, settings.progress && !settings.json);
        SvfPlayOptions options;
        options.keepGoing = step.keepGoing;
        options.adapter = session.Held();
        options.progress = [&](const SvfReport& r) { progress.Update(r); };
        options.mismatch = [&](const SvfMismatch& m) {
            progress.Done();
            std::fprintf(stderr, "kestractl: %s: %s\n", shown.c_str(), CSvfMismatchError(m).what());
        };
        options.poll = [] {
            if (g_interrupted)
                throw Interrupted();
        };
        CSvfPlayer player(session.Client(), options);
        std::ifstream in = OpenText(path);
        SvfReport report;
        try {
            report = player.Play(in);
        } catch (const CSvfMismatchError& e) {
            throw std::runtime_error(shown + ": " + e.what());
        }
        progress.Done();
        const Json summary = Summary(step, report);
        for (auto it = summary.begin(); it != summary.end(); ++it)
            doc[it.key()] = it.value();
        if (!settings.json)
            std::printf("%s: %llu statements, %llu scans (%llu bits) in %.3f s: %s, %s; %llu TDO "
                        "mismatches\n",
                        shown.c_str(), static_cast<unsigned long long>(report.done.statements),
                        static_cast<unsigned long long>(report.done.scans),
                        static_cast<unsigned long long>(report.done.scanBits), report.seconds,
                        Rate(summary["bits_per_second"].get<double>(), "bit").c_str(),
                        Rate(summary["statements_per_second"].get<double>(), "statement").c_str(),
                        static_cast<unsigned long long>(report.mismatches));
        if (report.mismatches > 0)
            throw std::runtime_error(shown + ": " + std::to_string(report.mismatches) +
                                     " TDO mismatches");
    } catch (const std::exception& e) {
        status = ReportError(e, "", settings.json, &doc, "svf");
    }
    session.Finish();
    if (settings.json) {
        doc["ok"] = status == EXIT_OK;
        std::printf("%s\n", JsonText(doc, 2).c_str());
    }
    std::fflush(stdout);
    return status;
}

}  // namespace kestractl
