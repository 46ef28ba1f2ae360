// The command operations on the open board: each builds its payload in
// OutReport, writes it, and for the answered commands reads one input
// report. Every failed transfer takes the link down (LinkError 1, LinkUp 0).
#pragma once

#include <cstdint>

#include "plugin/plugin_context.h"

namespace vx {

// Transfers hold the board lock; an answered command holds it across its
// write and its read, so the window thread never swaps BoardHandle between
// a request and its answer.

// Writes the 65 bytes of OutReport (report id 0). False on failure.
bool WriteReport(PluginContext& ctx);
// The same write without touching the link flags (the host's stop
// notification, whose failed Stop only ends it).
bool TryWriteReport(PluginContext& ctx);
// Reads one 65-byte answer into InReport. False on failure.
bool ReadAnswer(PluginContext& ctx);
// Sends OutputBlock as Status and copies the answer into BoardState (the
// silent form keeps the answer in InReport only). False on failure; the
// reporting forms then set EStop and post their message.
bool StatusExchange(PluginContext& ctx, StatusReport report);
// SetPositions: the positions go into BoardState, which is sent.
void LoadPositions(PluginContext& ctx, const int32_t positions[proto::kAxes]);
void SendMove(PluginContext& ctx, int32_t axis, int32_t distance, int32_t stopPin,
              int32_t stopLevel, double velocity, double acceleration);
void SendJogStop(PluginContext& ctx);
void SendStop(PluginContext& ctx);
void SendAxisSetup(PluginContext& ctx);
// Writes bytes 61..63 over the configuration already in OutReport, sends,
// zeroes the InReport payload and reads the answer (not after a failed
// write). 0 when the board answered with code 0x62, else 1.
int IdentifyExchange(PluginContext& ctx);

}  // namespace vx
