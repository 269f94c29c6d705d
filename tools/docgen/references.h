// The reference documents, made from the tables they describe: the signal
// list from the report's signal tables, the configuration reference from the
// setting readers' tables and the example files it shows. A signal or a text
// without its English, or an example that cannot be read, is an error: the
// reference is not written.
#pragma once

#include <string>

namespace docgen {

// docs/signals.md. Throws std::runtime_error naming what is missing.
std::string signalsReference();

// docs/configuration.md, with the files under `examples` (the repository's
// examples/ directory) shown as they are.
std::string configurationReference(const std::string& examples);

}  // namespace docgen
