// The daemon's command line and "vexa-daemon.json": command words, options,
// the configuration directory and the settings built from them.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "daemon/daemon_settings.h"

constexpr int kDaemonVersionMajor = 1;
constexpr int kDaemonVersionMinor = 6;
constexpr const char* kDaemonConfigFileName = "vexa-daemon.json";

// The process arguments after the program name, in order.
using ArgumentList = std::vector<std::string>;
ArgumentList CollectArguments(int argc, char** argv);

// True when `word` is one of the arguments (whole, case-sensitive match at
// any position).
bool HasArgument(const ArgumentList& args, const std::string& word);

// The argument after the first occurrence of `option`, taken unchanged even
// when it looks like an option or a command word; `fallback` when the option
// is absent or is the last argument.
std::string OptionValue(const ArgumentList& args, const std::string& option,
                        const std::string& fallback);

// What the command line asks for. Service commands are looked for in this
// order, so "stop start" starts; anything else runs with the settings.
enum class DaemonCommand { Start, Stop, Restart, Uninstall, Run };
DaemonCommand ChooseCommand(const ArgumentList& args);

// How a Run proceeds once the settings are built.
enum class RunMode { Install, Service, Console };
RunMode ChooseRunMode(const ArgumentList& args);

// The directory that holds "vexa-daemon.json", ending in '/': the working
// directory when the file opens there, else the executable's directory ("" when
// unknown).
std::string FindConfigDirectory();

// Parses "vexa-daemon.json" from FindConfigDirectory into `config`. Returns
// false, with `config` left null, after the info line "Failed to find config
// file." (cannot be opened) or the error line "Failed to load config file."
// (not JSON, or its top level is not an object).
bool LoadDaemonConfig(nlohmann::json& config);

// The settings, row by row: the default, replaced by the file's value
// when that is a JSON string, replaced by the row's command-line option.
// `config` may be null (no file loaded).
DaemonSettings BuildDaemonSettings(const ArgumentList& args, const nlohmann::json& config);

// The path to open for a CA, certificate or key file: unchanged when absolute
// (starts with '/' or has at most two characters), else relative to the
// configuration directory.
std::string ResolveDataPath(const std::string& path, const std::string& configDirectory);
std::string ResolveDataPath(const std::string& path);

// The version and usage lines on standard output.
void PrintUsage();
