// What the harnesses require of every run of the packer: plain printed text, and setups that keep their launcher.
#pragma once

#include "MemoryPlatform.h"
#include "setup/SetupReader.h"

#include <string>
#include <vector>

namespace fuzz {

// Runs kestrel-pack over the in-memory files, as its command line would with `args`; requires exit code 0 or 1
// and that every line it printed meets requirePrintable. Returns the exit code.
int runPacker(const std::vector<std::string>& args);

// Every line printed so far is plain text: no C0 or C1 control, no DEL, no line or paragraph separator, no mark,
// embedding, override or isolate that reorders text.
void requirePrintable();

// Every line printed so far that reports an icon is at most 1 KiB. Checked last, after the properties that a
// large icon could break first.
void requireShortIconLines();

// True when some line printed to `stream` so far holds `text`.
bool printed(pack::platform::Stream stream, const std::string& text);

// The setup `setup` was packed from `launcher`: every section but the resources' keeps its header and its bytes;
// the entry point, every data directory but the resources and the certificate table, and the data of every
// debug entry show the same bytes; every resource of the launcher is kept byte for byte, but its version block
// and, when `iconPlaced`, its first icon group and its icon images; and every other icon group still names the
// images it named, or none where it named a missing one.
void requireLauncherKept(const pack::memory::Bytes& launcher, const pack::memory::Bytes& setup, bool iconPlaced);

// The setup at `setup` reads back: --info takes it, and its package, extracted to `extracted`, matches its digest
// and `package` byte for byte. Returns what the reader saw of it.
pack::SetupFacts requireReadsBack(const std::string& setup, const std::string& extracted,
                                  const pack::memory::Bytes& package);

} // namespace fuzz
