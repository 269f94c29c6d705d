#include "hosting/plugin_turn.h"

#include <mutex>

namespace vedhost {
namespace {

std::mutex turn;
thread_local bool holding = false;

}  // namespace

PluginTurn::PluginTurn() {
    turn.lock();
    holding = true;
}

PluginTurn::~PluginTurn() {
    holding = false;
    turn.unlock();
}

LineWait::LineWait() {
    if (!holding) return;
    holding = false;
    turn.unlock();
    released_ = true;
}

LineWait::~LineWait() {
    if (!released_) return;
    turn.lock();
    holding = true;
}

}  // namespace vedhost
