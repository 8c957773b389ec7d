#include "kivora/player/filtergraph.h"

#include <climits>

#include "kivora/platform/exception.h"

namespace kivora {

static std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

int configure_filtergraph(AVFilterGraph* graph, const std::string& filters, AVFilterContext* source,
                          AVFilterContext* sink) {
  const unsigned nb_before = graph->nb_filters;
  if (!Trim(filters).empty()) {
    AVFilterInOutPtr outputs(avfilter_inout_alloc());
    AVFilterInOutPtr inputs(avfilter_inout_alloc());
    if (!outputs || !inputs) throw Exception(Format("Parse Graph Failed with Filter %s", filters.c_str()));
    outputs->name = av_strdup("in");
    outputs->filter_ctx = source;
    outputs->pad_idx = 0;
    outputs->next = nullptr;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    AVFilterInOut* in = inputs.release();
    AVFilterInOut* out = outputs.release();
    const int ret = avfilter_graph_parse_ptr(graph, filters.c_str(), &in, &out, nullptr);
    avfilter_inout_free(&in);
    avfilter_inout_free(&out);
    if (ret < 0) throw Exception(Format("Parse Graph Failed with Filter %s", filters.c_str()));
  } else {
    if (avfilter_link(source, 0, sink, 0) < 0) throw Exception("line filter failed");
  }
  // Put the filters just added in front, so they are configured first (the
  // order FFmpeg's own players use for automatically inserted filters).
  const unsigned nb_added = graph->nb_filters - nb_before;
  for (unsigned i = 0; i < nb_added && i + nb_before < graph->nb_filters; i++)
    std::swap(graph->filters[i], graph->filters[i + nb_before]);
  const int ret = avfilter_graph_config(graph, nullptr);
  if (ret < 0) throw Exception("config graph failed");
  return ret;
}

int opt_set_int_list(void* obj, const char* name, int searchFlags, uint64_t term, int entrySize,
                        const void* list) {
  const unsigned count = av_int_list_length_for_size(static_cast<unsigned>(entrySize), list, term);
  if (count > static_cast<unsigned>(INT_MAX / entrySize)) return AVERROR(EINVAL);
  return av_opt_set_bin(obj, name, static_cast<const uint8_t*>(list), static_cast<int>(count) * entrySize,
                        searchFlags);
}

}  // namespace kivora
