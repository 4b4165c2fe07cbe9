// The folder rules of the application folder, each case run in a child process as an ordinary
// account (nobody when the tests run as root, whom file modes do not stop), over real folders.

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/AppDirectory.h"

namespace fs = std::filesystem;

namespace {

const uid_t kNobody = 65534;

bool AsRoot() {
    return getuid() == 0;
}

// In a child: become the ordinary account the folders were made for.
void DropToChildAccount() {
    if (!AsRoot()) return;
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
        _exit(97);
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A scratch tree under /tmp that the child account can walk.
class Scratch {
  public:
    Scratch() {
        char name[] = "/tmp/strevix-folders-XXXXXX";
        root_ = mkdtemp(name) != nullptr ? name : "";
        chmod(root_.c_str(), 0755);
    }
    ~Scratch() {
        // Read-only folders of a run without root are opened again first.
        for (auto& e : fs::recursive_directory_iterator(root_, ec_))
            if (e.is_directory(ec_)) chmod(e.path().c_str(), 0755);
        fs::remove_all(root_, ec_);
    }
    const std::string& Root() const { return root_; }

    // A folder that belongs to the child account (it may write there when mode allows).
    std::string Own(const std::string& relative, mode_t mode = 0755) {
        const std::string path = root_ + "/" + relative;
        fs::create_directories(path, ec_);
        if (AsRoot() && chown(path.c_str(), kNobody, kNobody) != 0) ADD_FAILURE() << path;
        chmod(path.c_str(), mode);
        return path;
    }
    // An installed folder: root's when running as root, else the account's own but read-only.
    std::string Installed(const std::string& relative) {
        const std::string path = root_ + "/" + relative;
        fs::create_directories(path, ec_);
        WriteAll(path + "/QuilletDT.dll", "the installed database");
        chmod((path + "/QuilletDT.dll").c_str(), 0644);
        chmod(path.c_str(), 0555);
        return path;
    }

  private:
    std::string root_;
    std::error_code ec_;
};

using Facts = std::map<std::string, std::string>;

std::string Mode(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "missing";
    char text[8];
    std::snprintf(text, sizeof(text), "%03o", st.st_mode & 0777);
    return text;
}

// Runs the rules for `exe` in a child with exactly `env` (besides PATH) and reports what it saw.
Facts RunRules(const std::string& exe, const std::map<std::string, std::string>& env, bool provide,
               bool dropAccount = true) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        if (dropAccount) DropToChildAccount();
        for (const char* name : {"STREVIX_HOME", "XDG_DATA_HOME", "HOME"}) unsetenv(name);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::ostringstream out;
        const platform::Folders folders = platform::FoldersFor(exe);
        out << "state=" << folders.state << "\nresources=" << folders.resources
            << "\nperUser=" << folders.perUser << "\n";
        if (provide) {
            std::string problem;
            const std::string db = platform::ProvideStateFile(folders, "QuilletDT.dll", &problem);
            out << "db=" << db << "\nproblem=" << problem << "\nstateMode=" << Mode(folders.state)
                << "\ndbMode=" << Mode(db) << "\nlog=" << Mode(folders.state + "/log")
                << "\nVideos=" << Mode(folders.state + "/Videos") << "\ndbText=" << ReadAll(db)
                << "\n";
            // A user's changed database is theirs: a later start copies nothing over it.
            if (problem.empty()) {
                WriteAll(db, "changed by its user");
                platform::ProvideStateFile(folders, "QuilletDT.dll", &problem);
                out << "afterSecondStart=" << ReadAll(db) << "\n";
            }
        }
        const std::string text = out.str();
        ssize_t written = write(pipeFds[1], text.data(), text.size());
        _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 98);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0) text.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Facts facts;
    facts["exit"] = std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) facts[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return facts;
}

std::string Expand(const std::string& text, const std::string& root) {
    std::string out;
    for (char c : text) out += c == '@' ? root : std::string(1, c);
    return out;
}

struct Case {
    const char* name;
    const char* exe;  // "own": the account's writable folder; "installed"; or a literal path
    std::map<std::string, std::string> env;  // '@' is the scratch root
    const char* state;
    const char* resources;
    bool perUser;
    // When the state file is provided: a problem that must be reported ("" for none).
    const char* problem;
};

const std::vector<Case> kCases = {
    {"build tree in place", "own", {{"HOME", "@/home"}}, "@/own", "@/own", false, nullptr},
    {"STREVIX_HOME names both",
     "installed",
     {{"STREVIX_HOME", "@/named//"}, {"HOME", "@/home"}},
     "@/named",
     "@/named",
     false,
     nullptr},
    {"installed, fresh home",
     "installed",
     {{"HOME", "@/home"}},
     "@/home/.local/share/strevix",
     "@/installed",
     true,
     ""},
    {"installed, XDG_DATA_HOME",
     "installed",
     {{"HOME", "@/home"}, {"XDG_DATA_HOME", "@/xdg/"}},
     "@/xdg/strevix",
     "@/installed",
     true,
     ""},
    {"installed, relative XDG_DATA_HOME ignored",
     "installed",
     {{"HOME", "@/home"}, {"XDG_DATA_HOME", "xdg"}},
     "@/home/.local/share/strevix",
     "@/installed",
     true,
     ""},
    {"installed, home not writable",
     "installed",
     {{"HOME", "@/rohome"}},
     "@/rohome/.local/share/strevix",
     "@/installed",
     true,
     "cannot create @/rohome/.local/share/strevix: Permission denied"},
    {"installed, per-user folder left open is closed",
     "installed",
     {{"HOME", "@/openhome"}},
     "@/openhome/.local/share/strevix",
     "@/installed",
     true,
     ""},
    {"a writable folder of someone else is not used in place",
     "/tmp",
     {{"HOME", "@/home"}},
     "@/home/.local/share/strevix",
     "/tmp",
     true,
     nullptr},
};

TEST(AppDirectory, FolderRules) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        const std::string& root = scratch.Root();
        scratch.Own("own");
        scratch.Own("home");
        scratch.Own("xdg");
        scratch.Own("rohome", 0555);
        scratch.Own("openhome/.local/share/strevix", 0777);
        scratch.Installed("installed");
        const std::string exe = c.exe == std::string("own")         ? root + "/own"
                                : c.exe == std::string("installed") ? root + "/installed"
                                                                    : c.exe;
        std::map<std::string, std::string> env;
        for (const auto& [name, value] : c.env) env[name] = Expand(value, root);

        Facts f = RunRules(exe, env, c.problem != nullptr);
        ASSERT_EQ(f["exit"], "0");
        EXPECT_EQ(f["state"], Expand(c.state, root));
        EXPECT_EQ(f["resources"], Expand(c.resources, root));
        EXPECT_EQ(f["perUser"], c.perUser ? "1" : "0");
        if (c.problem == nullptr) continue;
        const std::string problem = Expand(c.problem, root);
        EXPECT_EQ(f["db"], Expand(c.state, root) + "/QuilletDT.dll");
        EXPECT_EQ(f["problem"], problem);
        if (problem.empty()) {
            EXPECT_EQ(f["stateMode"], "700");
            EXPECT_EQ(f["dbMode"], "600");
            EXPECT_EQ(f["log"], "700");
            EXPECT_EQ(f["Videos"], "700");
            EXPECT_EQ(f["dbText"], "the installed database");
            EXPECT_EQ(f["afterSecondStart"], "changed by its user");
        } else {
            EXPECT_EQ(f["stateMode"], "missing");
        }
        // Nothing is ever written into the installed folder, nor into the home of the build tree.
        EXPECT_EQ(ReadAll(root + "/installed/QuilletDT.dll"), "the installed database");
        EXPECT_FALSE(fs::exists(root + "/installed/log"));
        EXPECT_FALSE(fs::exists(root + "/home/.local") && !c.perUser);
    }
}

// Root owns the installation and keeps using it in place: no root-owned files land in the home
// of whoever ran sudo.
TEST(AppDirectory, RootUsesItsInstallationInPlace) {
    if (!AsRoot()) GTEST_SKIP() << "needs root";
    Scratch scratch;
    const std::string installed = scratch.Root() + "/installed";
    fs::create_directories(installed);
    Facts f = RunRules(installed, {{"HOME", scratch.Own("home")}}, false, false);
    EXPECT_EQ(f["state"], installed);
    EXPECT_EQ(f["perUser"], "0");
}

struct CliRun {
    int status = -1;
    std::string out, err;
};

// strevix-cli from `folder`, as the child account, with HOME only.
CliRun RunInstalledCli(const std::string& folder, const std::string& home, const std::string& pcap,
                       const std::string& outputs) {
    const std::string outFile = outputs + "/out", errFile = outputs + "/err";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(96);
        DropToChildAccount();
        const std::string cli = folder + "/strevix-cli", homeVar = "HOME=" + home;
        char* argv[] = {const_cast<char*>(cli.c_str()), const_cast<char*>("-r"),
                        const_cast<char*>(pcap.c_str()), nullptr};
        char* envp[] = {const_cast<char*>(homeVar.c_str()), const_cast<char*>("PATH=/usr/bin:/bin"),
                        nullptr};
        execve(cli.c_str(), argv, envp);
        _exit(95);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    CliRun r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadAll(outFile);
    r.err = ReadAll(errFile);
    return r;
}

// The console front end installed read-only: an ordinary account gets its own database and log,
// the same streams as in the build tree, and a clear line when its home cannot take them.
TEST(AppDirectory, InstalledConsoleRunsForAnOrdinaryAccount) {
    Scratch scratch;
    const std::string root = scratch.Root();
    const std::string installed = root + "/installed";
    fs::create_directories(installed);
    fs::copy_file(STREVIX_CLI, installed + "/strevix-cli");
    fs::copy_file(std::string(STREVIX_BUILD_DIR) + "/QuilletDT.dll", installed + "/QuilletDT.dll");
    fs::copy_file(std::string(STREVIX_SOURCE_DIR) + "/data/sample.pcap",
                  installed + "/sample.pcap");
    chmod(installed.c_str(), 0555);
    const std::string outputs = root + "/outputs";
    fs::create_directories(outputs);

    const CliRun inBuildTree = [&] {
        const std::string command = "STREVIX_HOME='" + std::string(STREVIX_BUILD_DIR) + "' '" +
                                    STREVIX_CLI + "' -r '" + installed + "/sample.pcap'";
        CliRun r;
        FILE* p = popen(command.c_str(), "r");
        char buffer[4096];
        size_t n;
        while (p != nullptr && (n = fread(buffer, 1, sizeof(buffer), p)) > 0)
            r.out.append(buffer, n);
        r.status = p != nullptr ? pclose(p) : -1;
        return r;
    }();
    ASSERT_EQ(inBuildTree.status, 0);
    ASSERT_FALSE(inBuildTree.out.empty());

    const std::string home = scratch.Own("home");
    for (int start = 1; start <= 2; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        CliRun r = RunInstalledCli(installed, home, installed + "/sample.pcap", outputs);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, inBuildTree.out);
        EXPECT_EQ(r.err, "");
        const std::string state = home + "/.local/share/strevix";
        EXPECT_EQ(Mode(state), "700");
        EXPECT_EQ(Mode(state + "/QuilletDT.dll"), "600");
        EXPECT_EQ(ReadAll(state + "/QuilletDT.dll"), ReadAll(installed + "/QuilletDT.dll"));
        EXPECT_NE(ReadAll(state + "/log/log.txt").find("Strevix started."), std::string::npos);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(installed), fs::directory_iterator()), 3);

    const std::string closed = scratch.Own("rohome", 0555);
    CliRun r = RunInstalledCli(installed, closed, installed + "/sample.pcap", outputs);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, inBuildTree.out);
    EXPECT_EQ(r.err, "strevix-cli: no database at " + closed +
                         "/.local/share/strevix/QuilletDT.dll (cannot create " + closed +
                         "/.local/share/strevix: Permission denied): running without filter "
                         "rules\n");
}

}  // namespace
