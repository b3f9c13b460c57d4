// Directory trees for tests: scratch directories, snapshots of their contents, and the two
// arrangements of a game installation. Portable: the unit tests use it under Wine too.
#ifndef PROTOSWITCH_TESTS_TREE_H
#define PROTOSWITCH_TESTS_TREE_H

#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with all it holds.
struct ScratchDir {
  explicit ScratchDir(const std::string &label = "protoswitch");
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  fs::path path;
};

// Makes `dir` the working directory for as long as it lives.
struct WorkingDir {
  explicit WorkingDir(const fs::path &dir);
  ~WorkingDir();
  fs::path previous;
};

// Relative path ('/' separated) -> content; a directory reads as directoryMark, a symbolic link
// (planted as one to the folder baseq3) as linkMark, and one that leads nowhere as nowhereMark.
using Snapshot = std::map<std::string, std::string>;
extern const char directoryMark[];
extern const char linkMark[];
extern const char nowhereMark[];

Snapshot snapshot(const fs::path &dir);
void writeFile(const fs::path &file, const std::string &content);
std::string readFile(const fs::path &file);

// Writes every entry of `tree` under `dir` (directoryMark makes a directory, linkMark and
// nowhereMark a link).
void plant(const fs::path &dir, const Snapshot &tree);

// The installation's files in the arrangement where protocol `active` (43 or 68) is active.
// Each file holds a content that names it; the executables hold `client43` and `client68`.
Snapshot arrangement(int active, const std::string &client43 = "client 43",
                     const std::string &client68 = "client 68");

// The contents of a snapshot, each with the number of names it has.
std::map<std::string, int> contents(const Snapshot &tree);

#endif
