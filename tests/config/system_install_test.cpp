#include "config/system_install.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "config/brand_files.h"
#include "config/system_units.h"
#include "platform/file_io.h"
#include "support/background_process.h"
#include "support/build_paths.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::readFileOrEmpty;
using testing::writeFile;
namespace fs = std::filesystem;

// Runs `body` in a child process as `uid` (a bare uid, no account needed); true when
// the child exited 0.
template <typename Body>
bool asUser(uid_t uid, Body body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(90);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(SystemInstallTest, PlanAndErrors) {
  const SystemInstall::Plan plan = SystemInstall::resolvePlan("/home/u/Down loads/vela-agent", "/r");
  EXPECT_TRUE(plan.copyExecutable);
  EXPECT_EQ(plan.daemonExecPath, "/r/usr/local/bin/vela-agent");
  // Already in place: registered where it is, nothing copied.
  const auto inPlace = SystemInstall::resolvePlan("/usr/local/bin/vela-agent");
  EXPECT_FALSE(inPlace.copyExecutable);
  EXPECT_EQ(inPlace.installed.systemUnit, "/etc/systemd/system/vela-agent.service");
  EXPECT_EQ(SystemUnits::execWord("/a b/\"q\"\\%$\n"), R"("/a b/\"q\"\\%%$$\x0a")");
  // The logos: beside the executable first, then the installer's, then the package's.
  EXPECT_EQ(BrandFiles::searchPath("/opt/vela/bin/vela-agent", "/r/"),
            (std::vector<std::string>{"/opt/vela/share/vela-agent", "/r/usr/local/share/vela-agent",
                                      "/r/usr/share/vela-agent"}));
  EXPECT_EQ(BrandFiles::searchPath("/usr/local/bin/vela-agent"),
            (std::vector<std::string>{"/usr/local/share/vela-agent", "/usr/share/vela-agent"}));

  // What pkexec and the script report comes back as the installation's error.
  auto endingWith = [](int status, std::string err) {
    return [=](const std::string&) { return Shell::Result{status, "", err}; };
  };
  auto failure = [&](const SystemInstall::Elevator& elevate) {
    auto error = SystemInstall::runAsAdmin("exit 0\n", elevate);
    return error ? error->description() : "none";
  };
  EXPECT_EQ(failure(endingWith(0, "")), "none");
  EXPECT_EQ(failure(endingWith(126, "Error executing command as another user: Request dismissed\n")),
            "authorization was cancelled");
  EXPECT_EQ(failure(endingWith(127, " Error executing command as another user: Not authorized\n")),
            "Error executing command as another user: Not authorized");
  // The script's own failures speak for themselves; silence reads as a cancel.
  EXPECT_EQ(failure(endingWith(126, "bash: line 3: /usr/local/bin/x: Permission denied\n")),
            "bash: line 3: /usr/local/bin/x: Permission denied");
  EXPECT_EQ(failure(endingWith(1, "")), "authorization was cancelled");
  EXPECT_EQ(failure(endingWith(-1, "spawn failed: No such file or directory")),
            "could not launch pkexec: No such file or directory");
}

// Installs for real (as root) below a scratch root; systemctl and loginctl are stubs
// that log their arguments, so nothing reaches this machine's service manager.
struct InstallRun {
  InstallRun(const std::string& rootName, const std::string& sourceName,
             const std::string& stageName)
      : root(tmp.file(rootName)), source(tmp.file(sourceName)), stage(tmp.file(stageName)) {
    fs::create_directories(tmp.file("bin"));
    fs::create_directories(stage);
    // Like /tmp: every user may create entries in it.
    fs::permissions(stage, fs::perms::all | fs::perms::sticky_bit);
    fs::create_directories(fs::path(source).parent_path());
    fs::copy_file("/bin/true", source);
    for (const char* tool : {"systemctl", "loginctl"}) {
      writeFile(tmp.file(std::string("bin/") + tool),
                std::string("#!/bin/sh\necho \"") + tool + " $*\" >>\"" + log() + "\"\n" +
                    "case \"$*\" in *seat0*) echo c2;; *c2*) echo alice;; esac\n");
      fs::permissions(tmp.file(std::string("bin/") + tool), fs::perms::owner_all);
    }
  }

  // `beforeRoot` runs where pkexec would ask for the password: what another user does
  // while the dialog is up.
  std::optional<SystemInstall::InstallError> install(const ProvisioningPayload& payload,
                                                     std::function<void()> beforeRoot = {}) {
    testing::ScopedEnv tmpdir("TMPDIR", stage);
    const std::string path = tmp.file("bin") + ":" + std::getenv("PATH");
    return SystemInstall::install(payload, SystemInstall::resolvePlan(source, root),
                                  [&](const std::string& script) {
                                    if (beforeRoot) beforeRoot();
                                    syntax = testing::runProcess("/bin/bash", {"-n"}, {}, script);
                                    return Shell::run("/bin/bash", {"-s"}, script, 120,
                                                      std::map<std::string, std::string>{{"PATH", path}});
                                  });
  }

  std::string log() const { return tmp.file("calls.log"); }
  std::string at(const std::string& path) const { return root + path; }

  testing::TempDir tmp;
  std::string root, source, stage;
  testing::ProcessOutput syntax;  // of `bash -n` over the script
};

void expectOwnedByRoot(const std::string& path, mode_t mode) {
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
  EXPECT_EQ(st.st_uid, 0u) << path;
  EXPECT_EQ(st.st_gid, 0u) << path;
  EXPECT_EQ(st.st_mode & 07777, mode) << path;
}

TEST(SystemInstallTest, InstallsBelowRootAsRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  InstallRun run("root", "vela-agent", "stage");
  ProvisioningPayload payload;
  payload.server = "https://cp.example";
  payload.token = "T1";
  payload.caPem = "CA\n";
  payload.commandPubkey = "Q01E";
  payload.spkiPins = std::vector<std::string>{"a", "", "b"};
  // The program runs from a download folder, without its logos beside it; a package
  // installed before left them in /usr/share.
  const std::string logo = readFileOrEmpty(testing::sourcePath("share/brand-light.png"));
  fs::create_directories(run.at("/usr/share/vela-agent"));
  writeFile(run.at("/usr/share/vela-agent/brand-light.png"), logo);
  // An earlier provisioning's key that this one does not carry.
  std::filesystem::create_directories(run.at("/var/lib/vela-agent/pinned"));
  testing::writeFile(run.at("/var/lib/vela-agent/pinned/update_pubkey.b64"), "OLD");
  ASSERT_EQ(run.install(payload), std::nullopt);

  const std::pair<const char*, mode_t> installed[] = {
      {"/usr/local/bin/vela-agent", 0755},
      {"/var/lib/vela-agent", 0700},
      {"/var/lib/vela-agent/pinned", 0700},
      {"/var/lib/vela-agent/config.json", 0600},
      {"/var/lib/vela-agent/pinned/ca.pem", 0600},
      {"/var/lib/vela-agent/pinned/spki_pins.txt", 0600},
      {"/etc/systemd/system/vela-agent.service", 0644},
      {"/etc/systemd/user/vela-agent-desktop.service", 0644},
      // Every user's desktop helper reads the logos.
      {"/usr/local/share/vela-agent", 0755},
      {"/usr/local/share/vela-agent/brand-light.png", 0644},
  };
  for (const auto& [path, mode] : installed) expectOwnedByRoot(run.at(path), mode);
  EXPECT_EQ(readFileOrEmpty(run.at("/usr/local/share/vela-agent/brand-light.png")), logo);
  EXPECT_FALSE(fs::exists(run.at("/usr/local/share/vela-agent/brand-dark.png")));
  EXPECT_FALSE(fs::exists(run.at("/var/log/vela-agent")));  // the journal is the log
  EXPECT_FALSE(fs::exists(run.at("/var/lib/vela-agent/pinned/update_pubkey.b64")));
  EXPECT_EQ(readFileOrEmpty(run.at("/var/lib/vela-agent/config.json")), payload.toConfig().jsonData());
  EXPECT_EQ(readFileOrEmpty(run.at("/var/lib/vela-agent/pinned/spki_pins.txt")), "a\nb");
  EXPECT_EQ(readFileOrEmpty(run.at("/var/lib/vela-agent/pinned/command_pubkey.b64")), "Q01E");
  EXPECT_EQ(readFileOrEmpty(run.log()),
            "systemctl daemon-reload\n"
            "systemctl stop vela-agent.service\n"
            "systemctl enable --now vela-agent.service\n"
            "systemctl --global enable vela-agent-desktop.service\n"
            "loginctl show-seat seat0 --property=ActiveSession --value\n"
            "loginctl show-session c2 --property=Name --value\n"
            "systemctl --user -M alice@ daemon-reload\n"
            "systemctl --user -M alice@ restart vela-agent-desktop.service\n");
  // The user's temporary files are gone.
  EXPECT_TRUE(fs::is_empty(run.stage));

  // The units' text is the Debian package test's; here systemd reads them.
  for (const char* unit : {"/etc/systemd/system/vela-agent.service", "/etc/systemd/user/vela-agent-desktop.service"}) {
    auto verify = testing::runProcess("/usr/bin/systemd-analyze", {"verify", "--man=no", run.at(unit)});
    EXPECT_EQ(verify.status, 0) << unit << verify.out << verify.err;
  }
}

TEST(SystemInstallTest, HostileValuesStayInert) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string hostile = "x'\"$(touch INJECTED)`touch INJECTED`\n; touch INJECTED #%";
  InstallRun run("r" + hostile, "src" + hostile, "tmp" + hostile);
  const std::string huge(1 << 20, '\'');
  ProvisioningPayload payload;
  payload.server = "https://cp/" + hostile;
  payload.tenant = huge;
  payload.token = hostile;
  payload.caPem = hostile + "\nVELA_SYSTEM_UNIT\n";
  payload.commandPubkey = huge;
  ASSERT_EQ(run.install(payload), std::nullopt);
  EXPECT_EQ(run.syntax.status, 0);
  const std::string state = run.at("/var/lib/vela-agent");
  EXPECT_EQ(readFileOrEmpty(state + "/config.json"), payload.toConfig().jsonData());
  EXPECT_EQ(readFileOrEmpty(state + "/pinned/ca.pem"), *payload.caPem);
  EXPECT_EQ(readFileOrEmpty(state + "/pinned/command_pubkey.b64"), huge);
  EXPECT_TRUE(fs::exists(run.at("/usr/local/bin/vela-agent")));
  // One ExecStart line naming the whole path as one word.
  const std::string unit = readFileOrEmpty(run.at("/etc/systemd/system/vela-agent.service"));
  EXPECT_THAT(unit, HasSubstr("ExecStart=" + SystemUnits::execWord(run.at("/usr/local/bin/vela-agent")) +
                              " run\n"));
  // The hostile commands would touch INJECTED in the script's working directory.
  for (const auto& entry : fs::recursive_directory_iterator(run.tmp.path())) {
    EXPECT_NE(entry.path().filename(), "INJECTED");
  }
  EXPECT_FALSE(fs::exists("INJECTED"));
  EXPECT_TRUE(fs::is_empty(run.stage));
}

// The consent dialog shows the logo: one another user could have planted is refused like
// such an executable, and so is a file that is no PNG.
TEST(SystemInstallTest, LogosAreCheckedBeforeTheyAreInstalled) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  InstallRun run("root", "vela-agent", "stage");
  ProvisioningPayload payload;
  payload.server = "https://cp.example";
  fs::create_directories(run.at("/usr/share/vela-agent"));
  const std::string logo = run.at("/usr/share/vela-agent/brand-dark.png");
  writeFile(logo, readFileOrEmpty(testing::sourcePath("share/brand-dark.png")));
  fs::permissions(logo, fs::perms::others_write, fs::perm_options::add);
  auto error = run.install(payload);
  ASSERT_TRUE(error);
  EXPECT_THAT(error->description(), HasSubstr("could not stage install files: logo " + logo));

  writeFile(logo, "<svg/>");
  fs::permissions(logo, fs::perms::owner_read | fs::perms::owner_write);
  error = run.install(payload);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description(),
            "could not stage install files: logo " + logo + " is not a PNG image of at most 1 MiB");
  EXPECT_FALSE(fs::exists(run.at("/usr/local/share/vela-agent")));
}

// The installing user runs the program from a folder of their own; another local user
// prepares the temporary directory, or swaps whatever it can while the password dialog
// is up. Root must install the installing user's files, or nothing.
TEST(SystemInstallTest, AnotherUserCannotSwapWhatRootInstalls) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  constexpr uid_t kInstaller = 4141, kAttacker = 4242;
  ProvisioningPayload payload;
  payload.server = "https://cp.example";
  payload.caPem = "OUR CA\n";
  payload.commandPubkey = "OUR KEY";

  auto attackerPlants = [&](const std::string& stage, const std::string& where) {
    return asUser(kAttacker, [&] {
      std::error_code ec;
      fs::create_directories(where + "/pinned", ec);
      fs::permissions(where, fs::perms::all, ec);
      fs::permissions(where + "/pinned", fs::perms::all, ec);
      writeFile(where + "/config.json", R"({"serverURL":"https://attacker"})");
      writeFile(where + "/pinned/ca.pem", "ATTACKER CA\n");
      const std::string staged = stage + "/vela-install-" + std::to_string(getpid());
      if (where != staged) fs::create_directory_symlink(where, staged, ec);
      return true;
    });
  };
  // Everything the attacker can reach in the temporary directory is replaced.
  auto attackerSwaps = [&](const std::string& stage) {
    asUser(kAttacker, [&] {
      std::error_code ec;
      std::vector<fs::path> files;
      for (auto it = fs::recursive_directory_iterator(
               stage, fs::directory_options::follow_directory_symlink |
                          fs::directory_options::skip_permission_denied, ec);
           it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec)) files.push_back(it->path());
      }
      for (const auto& file : files) {
        fs::remove(file, ec);
        writeFile(file.string(), "ATTACKER\n");
      }
      return true;
    });
  };

  for (const std::string variant : {"pre-created", "linked"}) {
    SCOPED_TRACE(variant);
    InstallRun run("root", "home/vela-agent", "tmp");
    fs::permissions(run.tmp.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    ASSERT_EQ(::chown(run.tmp.file("home").c_str(), kInstaller, kInstaller), 0);
    ASSERT_EQ(::chown(run.source.c_str(), kInstaller, kInstaller), 0);
    const std::string planted = variant == "linked"
                                    ? run.stage + "/elsewhere"
                                    : run.stage + "/vela-install-" + std::to_string(getpid());
    ASSERT_TRUE(attackerPlants(run.stage, planted));

    ASSERT_EQ(::seteuid(kInstaller), 0);
    auto error = run.install(payload, [&] {
      ASSERT_EQ(::seteuid(0), 0);  // what pkexec grants
      attackerSwaps(run.stage);
    });
    ASSERT_EQ(::seteuid(0), 0);
    ASSERT_EQ(error, std::nullopt) << error->description();
    const std::string state = run.at("/var/lib/vela-agent");
    EXPECT_EQ(readFileOrEmpty(state + "/config.json"), payload.toConfig().jsonData());
    EXPECT_EQ(readFileOrEmpty(state + "/pinned/ca.pem"), "OUR CA\n");
    EXPECT_EQ(readFileOrEmpty(state + "/pinned/command_pubkey.b64"), "OUR KEY");
    EXPECT_EQ(readFileOrEmpty(run.at("/usr/local/bin/vela-agent")), readFileOrEmpty("/bin/true"));
  }

  // A program another user can replace is not copied at all.
  InstallRun shared("root", "shared/vela-agent", "tmp");
  fs::permissions(shared.tmp.file("shared"), fs::perms::all);
  bool elevated = false;
  auto error = SystemInstall::install(payload, SystemInstall::resolvePlan(shared.source, shared.root),
                                      [&](const std::string&) {
                                        elevated = true;
                                        return Shell::Result{0, "", ""};
                                      });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description(),
            "could not stage install files: " + shared.tmp.file("shared") +
                " is writable by others; other users could replace the program before it is "
                "installed. Copy vela-agent to a folder only you can write (for example your home "
                "folder) and run it from there");
  EXPECT_FALSE(elevated);
}

}  // namespace
}  // namespace vela
