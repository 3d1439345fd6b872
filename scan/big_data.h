// Big data and the value step's shared internals: ReadBigData checks a value's
// db cell, segment list and segments, gathers the value for the dump and then
// tidies it; TidyBigData frees over-run segments, corrects the segment count
// and cleans the padding in the repair modes.  DumpValue and TidyData are the
// value step's own (scan/values.cpp), called back from here.  The cell steps
// it shares with the data-length repair are in hive/big_data.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/pass_state.h"
#include "hive/big_data.h"
#include "hive/cells.h"
#include "scan/rebuild_hooks.h"

namespace quelbrix {

// A value's data as the dump sees it.  Present bounds every read of Bytes: the
// stored length may claim more than the inline field, the cell or the gathered
// buffer holds.
struct ValueData {
  const uint8_t* Bytes = nullptr;
  uint32_t Present = 0;
  uint32_t Capacity = 0;  // big data: what the segments that passed can hold
  uint32_t DbCell = 0;    // image position of the db cell, 0 for plain data
};

void ReadBigData(PassState& ctx, const char* name, RegHandle handle, const std::string& pathLine, const VkCell& vk);
// passed: per segment-list entry, whether that segment passed its check in
// ReadBigData; null when every segment was made by this scan.
void TidyBigData(PassState& ctx, const VkCell& vk, const std::string& pathLine,
                 const std::vector<uint8_t>* passed);

void DumpValue(PassState& ctx, const char* name, const ValueData& data, const std::string& pathLine,
               const VkCell& vk, RegHandle handle);
void TidyData(PassState& ctx, const VkCell& vk, const std::string& pathLine,
              const std::vector<uint8_t>* passed = nullptr);

}  // namespace quelbrix
