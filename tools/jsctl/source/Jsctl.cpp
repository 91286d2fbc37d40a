#include "Jsctl.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "ControlClient.h"
#include "JobWait.h"
#include "SpecWriter.h"
#include "StatusListing.h"
#include "base/StringUtils.h"
#include "config/ConfAgent.h"
#include "config/ConfBase.h"
#include "config/ConfNodeTypes.h"
#include "config/ConfOldFile.h"
#include "errors/Exception.h"
#include "files/FileUtils.h"
#include "net/ControlKey.h"

namespace Zelcor {

namespace {

namespace fs = std::filesystem;
using Action = JsctlOptions::Action;

constexpr std::chrono::milliseconds kFollowInterval{200};
// Looks in a row that miss a followed job before it counts as gone (a move between two folders
// is missed by one look at most).
constexpr int kFollowLost = 25;

std::size_t percentSigns(const std::string& text) {
  std::size_t count = 0;
  for (char c : text) count += c == '%' ? 1 : 0;
  return count;
}

bool isExecutableFile(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error || !fs::is_regular_file(status)) return false;
  const fs::perms any = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  return (status.permissions() & any) != fs::perms::none;
}

std::int32_t commandValue(Action action) {
  switch (action) {
    case Action::start:
      return ControlClient::kCommandStart;
    case Action::stop:
      return ControlClient::kCommandStop;
    case Action::pause:
      return ControlClient::kCommandPause;
    case Action::resume:
      return ControlClient::kCommandResume;
    default:
      return ControlClient::kCommandStatus;
  }
}

}  // namespace

Jsctl::Jsctl(std::ostream& out, std::ostream& err) : out(out), err(err) {}

int Jsctl::run(const std::vector<std::string>& arguments) {
  JsctlOptions options;
  std::string error;
  if (!JsctlOptions::parse(arguments, options, error)) return usageError(error);
  if (options.action == Action::help) {
    out << JsctlOptions::helpText();
    return kExitDone;
  }
  if (options.action == Action::submit) return submit(options);
  if (options.action == Action::wait) return wait(options);
  if (options.action == Action::show) return show(options);
  if (options.action == Action::list) return list(options);
  if (options.action == Action::log) return log(options);
  return control(options);
}

int Jsctl::usageError(const std::string& error) {
  err << "jsctl: " << error << "\nTry \"jsctl --help\".\n";
  return kExitUsage;
}

bool Jsctl::readConfiguration(const std::string& file, std::optional<int>* port,
                              std::string* pending, std::string& error, std::string* keyFile,
                              std::string* finished, JobFolders* folders) {
  const std::string path = file;
  try {
    ZelcorCorelib::ConfBase store;
    ZelcorCorelib::ConfOldFile loader;
    ZelcorCorelib::ConfAgent agent;
    loader.load(path, true);
    if (port) {
      std::int64_t value = 0;
      auto query = std::make_unique<ZelcorCorelib::ConfQueryParam>();
      query->path = kPortPath;
      query->queryType = ZelcorCorelib::kConfInt;
      query->value = &value;
      try {
        agent.query(std::move(query));
      } catch (const ZelcorCorelib::Exception& failure) {
        error = "configuration file \"" + path + "\": no port at " + kPortPath + " (" +
                failure.toLine() + ")";
        return false;
      }
      if (value < 1 || value > 65535) {
        error = "configuration file \"" + path + "\": the port at " + kPortPath + " is " +
                std::to_string(value) + ", not a port from 1 to 65535";
        return false;
      }
      *port = static_cast<int>(value);
    }
    if (keyFile) {
      try {
        *keyFile = ZelcorCorelib::trim(agent.getString(kKeyFilePath));
      } catch (const ZelcorCorelib::ConfAgent::Query_NotFound&) {
        keyFile->clear();
      }
    }
    // The scheduler follows a shortcut here too.
    const auto folder = [&](const char* key, const char* what, std::string& value) {
      try {
        value = agent.getDir(key);
      } catch (const ZelcorCorelib::Exception& failure) {
        error = "configuration file \"" + path + "\": no " + what + " folder at " + key + " (" +
                failure.toLine() + ")";
        return false;
      }
      if (ZelcorCorelib::isShortcut(value)) ZelcorCorelib::resolveShortcut(value);
      if (value.empty()) {
        error =
            "configuration file \"" + path + "\": the " + what + " folder at " + key + " is empty";
        return false;
      }
      return true;
    };
    if (pending && !folder(kPendingPath, "pending", *pending)) return false;
    if (finished && !folder(kFinishedPath, "finished", *finished)) return false;
    if (folders && (!folder(kPendingPath, "pending", folders->pending) ||
                    !folder(kQueuedPath, "queued", folders->queued) ||
                    !folder(kRunningPath, "running", folders->running) ||
                    !folder(kFinishedPath, "finished", folders->finished))) {
      return false;
    }
  } catch (const ZelcorCorelib::Exception& failure) {
    error = "cannot read the configuration file \"" + path + "\": " + failure.toLine();
    return false;
  }
  return true;
}

int Jsctl::control(const JsctlOptions& options) {
  std::optional<int> port = options.port;
  std::string keyFile = options.keyFile;
  if (!options.configFile.empty()) {
    std::string error;
    std::string configuredKey;
    if (!readConfiguration(options.configFile, port ? nullptr : &port, nullptr, error,
                           &configuredKey)) {
      return usageError(error);
    }
    if (keyFile.empty()) keyFile = configuredKey;
  }
  ControlClient client(options.host, *port);
  if (!keyFile.empty()) {
    ZelcorCorelib::ControlKeyFile key = ZelcorCorelib::readControlKeyFile(keyFile);
    if (!key.error.empty()) {
      err << "jsctl: " << key.error << "\n";
      return kExitFailed;
    }
    client.setSharedSecret(std::move(key.secret));
  }
  client.setTimeout(options.timeout);
  if (silenceLimit) client.setSilenceLimit(*silenceLimit);

  if (options.action == Action::cancel) {
    std::string answer;
    ControlClient::Outcome outcome = client.cancelJob(options.jobName, answer);
    if (!outcome.ok()) {
      err << "jsctl: " << outcome.message << "\n";
      return kExitFailed;
    }
    const std::size_t blank = answer.find(' ');
    const std::string word = answer.substr(0, blank);
    const std::string sentence = blank == std::string::npos ? answer : answer.substr(blank + 1);
    if (word == "cancelled" || word == "cancelling") {
      out << sentence << "\n";
      return kExitDone;
    }
    err << "jsctl: " << sentence << "\n";
    return kExitFailed;
  }
  if (options.action == Action::status) {
    std::string listing;
    ControlClient::Outcome outcome = client.fetchStatus(listing);
    if (!outcome.ok()) {
      err << "jsctl: " << outcome.message << "\n";
      return kExitFailed;
    }
    out << (options.json ? StatusListing::parse(listing).toJson() : listing);
    out.flush();
    return kExitDone;
  }

  const std::int32_t command = commandValue(options.action);
  const char* waiting = options.action == Action::stop    ? "waiting for running jobs to finish"
                        : options.action == Action::pause ? "waiting for the queues to pause"
                                                          : nullptr;
  ControlClient::Outcome outcome =
      client.sendCommand(command, [&](std::chrono::milliseconds elapsed) {
        if (waiting) out << waiting << "... " << elapsed.count() / 1000 << " s" << std::endl;
      });
  if (!outcome.ok()) {
    err << "jsctl: " << outcome.message << "\n";
    if (outcome.failure == ControlClient::Failure::timedOut && waiting) {
      err << "jsctl: the " << ControlClient::commandName(command)
          << " request stays in effect on the scheduler.\n";
    }
    return kExitFailed;
  }
  out << ControlClient::commandName(command) << " confirmed by the scheduler at " << options.host
      << ":" << *port << ".\n";
  return kExitDone;
}

int Jsctl::submit(const JsctlOptions& options) {
  std::string pending = options.pendingDirectory;
  std::string error;
  if (pending.empty() && !readConfiguration(options.configFile, nullptr, &pending, error)) {
    return usageError(error);
  }
  SpecRequest request;
  if (!resolveExecutable(options.executable, request.executable, error)) return usageError(error);
  request.arguments = options.arguments;
  request.queue = options.queue;
  request.priority = options.priority;
  request.name = options.name;
  error = SpecWriter::checkRequest(request);
  if (!error.empty()) return usageError(error);

  const std::string encoded = SpecWriter::encodeArguments(request.arguments);
  if (percentSigns(request.executable) >= 2 || percentSigns(encoded) >= 2) {
    err << "jsctl: note: the scheduler reads text between two \"%\" signs as a reference to its "
           "configuration and normalises such a value as a path\n";
  }
  std::string finished;
  if (options.wait && (finished = finishedFolder(options, error)).empty()) {
    return usageError(error);
  }
  const auto now = std::chrono::system_clock::now();
  SpecResult result = SpecWriter::write(pending, request, now);
  if (!result.ok) {
    err << "jsctl: " << result.error << "\n";
    return kExitFailed;
  }
  out << result.path << "\n";
  if (!options.wait) return kExitDone;
  out.flush();
  // "created" tells this job from an earlier one of the same name in finished.
  return awaitJob(finished, JobWait::stemOf(fs::path(result.path).filename().string()),
                  SpecWriter::createdText(now), options.timeout);
}

std::string Jsctl::finishedFolder(const JsctlOptions& options, std::string& error) {
  if (!options.finishedDirectory.empty()) return options.finishedDirectory;
  std::string finished;
  if (!readConfiguration(options.configFile, nullptr, nullptr, error, nullptr, &finished)) {
    return {};
  }
  return finished;
}

int Jsctl::wait(const JsctlOptions& options) {
  std::string error;
  const std::string finished = finishedFolder(options, error);
  if (finished.empty()) return usageError(error);
  std::error_code failure;
  if (!fs::is_directory(finished, failure)) {
    err << "jsctl: the finished folder \"" << finished << "\" cannot be read\n";
    return kExitFailed;
  }
  return awaitJob(finished, JobWait::stemOf(options.jobName), "", options.timeout);
}

int Jsctl::readJobFolders(const JsctlOptions& options, JobFolders& folders) {
  std::string error;
  if (!readConfiguration(options.configFile, nullptr, nullptr, error, nullptr, nullptr, &folders)) {
    return usageError(error);
  }
  return kExitDone;
}

std::optional<FolderJob> Jsctl::findJob(const JobFolders& folders, const std::string& name) {
  std::string error;
  std::optional<FolderJob> job = JobBrowser(folders).find(name, error);
  if (!job) {
    err << "jsctl: " << (error.empty() ? "no job \"" + name + "\" in the job folders" : error)
        << "\n";
  }
  return job;
}

int Jsctl::show(const JsctlOptions& options) {
  JobFolders folders;
  if (const int code = readJobFolders(options, folders); code != kExitDone) return code;
  const std::optional<FolderJob> job = findJob(folders, options.jobName);
  if (!job) return kExitFailed;
  out << JobBrowser::showText(*job);
  return kExitDone;
}

int Jsctl::list(const JsctlOptions& options) {
  JobFolders folders;
  if (const int code = readJobFolders(options, folders); code != kExitDone) return code;
  std::string error;
  const std::vector<FolderJob> jobs = JobBrowser(folders).list(options.finishedCount, error);
  if (!error.empty()) {
    err << "jsctl: " << error << "\n";
    return kExitFailed;
  }
  out << (options.json ? JobBrowser::listJson(jobs) : JobBrowser::listText(jobs));
  return kExitDone;
}

std::optional<std::uint64_t> Jsctl::copyOutput(const std::string& path, std::uint64_t offset) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    err << "jsctl: cannot read the output file \"" << path << "\": " << std::strerror(errno)
        << "\n";
    return std::nullopt;
  }
  file.seekg(0, std::ios::end);
  const auto size = static_cast<std::uint64_t>(file.tellg());
  // A file cut short (written anew) is read from its start again.
  if (size < offset) offset = 0;
  file.seekg(static_cast<std::streamoff>(offset));
  std::vector<char> piece(64 * 1024);
  while (file.read(piece.data(), static_cast<std::streamsize>(piece.size())) || file.gcount() > 0) {
    out.write(piece.data(), file.gcount());
    offset += static_cast<std::uint64_t>(file.gcount());
  }
  out.flush();
  return offset;
}

int Jsctl::log(const JsctlOptions& options) {
  JobFolders folders;
  if (const int code = readJobFolders(options, folders); code != kExitDone) return code;
  const JobBrowser browser(folders);
  std::optional<FolderJob> job = findJob(folders, options.jobName);
  if (!job) return kExitFailed;
  const std::string created = job->value("created");
  const auto noOutput = [&](const FolderJob& seen) {
    err << "jsctl: job \"" << seen.name << "\" "
        << (seen.state == FolderJob::State::pending || seen.state == FolderJob::State::queued
                ? "has not started: its output file is chosen when it starts"
                : "has no output file: it wrote where the scheduler writes (no "
                  "jobscheduler.job-output-dir)")
        << "\n";
    return kExitFailed;
  };
  if (!options.follow) {
    const std::string output = job->value("output");
    if (output.empty()) return noOutput(*job);
    return copyOutput(output, 0) ? kExitDone : kExitFailed;
  }
  // Follows the job through its folders by its name and "created", until it has finished.
  std::string output;
  std::uint64_t offset = 0;
  bool opened = false;
  int unseen = 0;
  for (;;) {
    const bool finished = job->state == FolderJob::State::finished;
    if (output.empty()) output = job->value("output");
    if (output.empty() && finished) return noOutput(*job);
    if (!output.empty()) {
      std::error_code missing;
      if (opened || fs::exists(output, missing) || finished) {
        const std::optional<std::uint64_t> next = copyOutput(output, offset);
        if (!next) return kExitFailed;
        offset = *next;
        opened = true;
      }
    }
    if (finished) return kExitDone;
    std::this_thread::sleep_for(kFollowInterval);
    std::string lost;
    std::optional<FolderJob> now = browser.find(options.jobName, lost);
    if (now && (created.empty() || now->value("created") == created)) {
      job = std::move(now);
      unseen = 0;
    } else if (++unseen == kFollowLost) {
      err << "jsctl: job \"" << job->name << "\" has left the job folders without finishing\n";
      return kExitFailed;
    }
  }
}

int Jsctl::awaitJob(const std::string& finished, const std::string& stem,
                    const std::string& created, std::optional<std::chrono::milliseconds> timeout) {
  const std::optional<FinishedJob> job = JobWait::await(finished, stem, created, timeout);
  if (!job) {
    err << "jsctl: job \"" << stem << "\" is not finished after " << timeout->count() / 1000.0
        << " s; it goes on\n";
    return kExitFailed;
  }
  const std::optional<int> code = JobWait::exitCodeOf(job->keys);
  if (!code) {
    err << "jsctl: " << job->path << " holds no exit status that can be read\n";
    return kExitFailed;
  }
  return *code;
}

bool Jsctl::resolveExecutable(const std::string& given, std::string& resolved, std::string& error) {
  if (given.find('%') != std::string::npos) {
    resolved = given;
    return true;
  }
  fs::path found;
  if (given.find('/') != std::string::npos) {
    std::error_code failure;
    found = fs::absolute(fs::path(given), failure).lexically_normal();
    if (failure) {
      error = "cannot make \"" + given + "\" an absolute path";
      return false;
    }
  } else {
    const char* variable = std::getenv("PATH");
    const std::string search = variable ? variable : "";
    std::size_t start = 0;
    while (found.empty() && start <= search.size()) {
      std::size_t end = search.find(':', start);
      if (end == std::string::npos) end = search.size();
      const std::string folder = end == start ? "." : search.substr(start, end - start);
      const fs::path candidate = fs::path(folder) / given;
      if (isExecutableFile(candidate)) {
        std::error_code failure;
        found = fs::absolute(candidate, failure).lexically_normal();
      }
      start = end + 1;
    }
    if (found.empty()) {
      error = "executable \"" + given + "\" not found on PATH";
      return false;
    }
  }
  std::error_code failure;
  if (!fs::exists(found, failure)) {
    error = "executable \"" + found.string() + "\" not found";
    return false;
  }
  // Not `"\"" + path`: g++ 12 at -O3 reports a false -Wrestrict overlap for a one-character
  // literal in front of a string.
  if (fs::is_directory(found, failure)) {
    error.assign(1, '"').append(found.string()).append("\" is a folder, not an executable");
    return false;
  }
  if (!isExecutableFile(found)) {
    error.assign(1, '"').append(found.string()).append("\" is not executable");
    return false;
  }
  resolved = found.string();
  return true;
}

}  // namespace Zelcor
