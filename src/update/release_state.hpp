// The newest release this device has run from each update folder, kept in
// /var/lib/tarvexd/state/releases so that an older signed script is refused.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Folder name to the newest release run from it.
using Releases = std::map<std::string, uint64_t>;

// A release as makers write it: decimal digits only, at most 2^63-1. Pure.
bool parseRelease(const std::string& digits, uint64_t& release);

// Reads the state file's text: one line per folder, the folder's name, one
// blank and the release in decimal (at most 2^63-1), each line ended by a line
// break; no folder twice, and at least one line (the daemon never writes an
// empty file, so an empty one is a damaged one). Pure: no I/O. False, with
// what is wrong in `problem`, otherwise.
bool parseReleaseState(const std::string& text, Releases& releases, std::string& problem);

// The file's text for releases, as parseReleaseState reads it.
std::string formatReleaseState(const Releases& releases);

// Reads the state file. No file yet means no release run: true, empty. False,
// with what is wrong in `problem`, when it cannot be read or is damaged.
bool readReleaseState(Releases& releases, std::string& problem);

// Replaces the state file with releases, atomically and durably: a temporary
// file beside it, flushed to disk, then renamed over it. False, with errno's
// text in `problem`, when that fails; the old file then stands.
bool writeReleaseState(const Releases& releases, std::string& problem);
