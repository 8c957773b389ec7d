#pragma once
// Filter-graph helpers shared by the player's video and audio graphs.
#include <cstdint>
#include <string>

#include "kivora/runtime/ffmpeg.h"

namespace kivora {

// Joins source and sink through the filter description `filters` (linked
// directly when it is blank), then configures the graph. Raises Exception
// with "Parse Graph Failed with Filter %s", "line filter failed" or
// "config graph failed".
int configure_filtergraph(AVFilterGraph* graph, const std::string& filters, AVFilterContext* source,
                          AVFilterContext* sink);

// (FFmpeg's own av_opt_set_int_list is a macro; this is the function form.)
// Sets a list-valued option (a terminator-ended array of entrySize-byte
// integers) on a filter instance.
int opt_set_int_list(void* obj, const char* name, int searchFlags, uint64_t term, int entrySize,
                        const void* list);

}  // namespace kivora
