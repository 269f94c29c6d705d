// Turns at the plug-in.
//
// Each line has its own thread, but the plug-in's code runs on one of them at
// a time: its console lines ("rvSize is 0", "SPModbus get error", ...) are
// written piece by piece and would interleave if two meters finished a round
// at once. Only the waiting for a meter's answer runs in parallel: a line
// gives up its turn while its request is on the wire.
#pragma once

namespace vedhost {

// Holds the turn for the lifetime of the object.
class PluginTurn {
  public:
    PluginTurn();
    ~PluginTurn();
    PluginTurn(const PluginTurn&) = delete;
    PluginTurn& operator=(const PluginTurn&) = delete;
};

// Gives the turn up for the lifetime of the object, when this thread holds it,
// and takes it back afterwards.
class LineWait {
  public:
    LineWait();
    ~LineWait();
    LineWait(const LineWait&) = delete;
    LineWait& operator=(const LineWait&) = delete;

  private:
    bool released_ = false;
};

}  // namespace vedhost
