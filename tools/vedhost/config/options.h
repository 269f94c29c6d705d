// The concerns' option tables joined: each concern's rows (option_rows.h)
// bound to where its settings live in HostConfig, in --help order. The
// command line, the document reader, --help, check-config and the reference
// (config.cpp) walk these.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>
#include <vector>

#include "config/option_rows.h"

namespace vedhost {

struct HostConfig;

// One concern's table, whatever settings its rows write into.
class OptionTable {
  public:
    virtual ~OptionTable() = default;

    // Its rows, as `const OptionRow&`.
    class Iterator {
      public:
        explicit Iterator(const OptionRow* const* at) : at_(at) {}
        const OptionRow& operator*() const { return **at_; }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return at_ != other.at_; }

      private:
        const OptionRow* const* at_;
    };
    Iterator begin() const { return Iterator(rows_.data()); }
    Iterator end() const { return Iterator(rows_.data() + rows_.size()); }
    std::size_t size() const { return rows_.size(); }
    const OptionRow& row(std::size_t index) const { return *rows_[index]; }

    // The row's store() on the concern's settings in `config` (made when
    // the concern is off until now).
    virtual bool store(std::size_t index, HostConfig& config, const Json::Value& value,
                       const Given& given, std::string& error) const = 0;
    // The row's show(); null when the concern is off or the row shows nothing.
    virtual Json::Value show(std::size_t index, const HostConfig& config) const = 0;
    // The concern's own checks, when it is on.
    virtual bool finish(HostConfig& config, std::string& error) const = 0;

  protected:
    std::vector<const OptionRow*> rows_;
};

// Every concern's table, in --help order. A new concern declares its
// SettingTable beside its code and lists it here (options.cpp) with where its
// settings live; its rows then reach the command line, the document, --help,
// check-config and the reference with no further code.
const std::vector<const OptionTable*>& optionTables();

}  // namespace vedhost
