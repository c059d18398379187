#pragma once

#include "error/chained_error.hpp"

namespace brisvane {

// The report body: the top error's text, then "Caused by:" and each cause below it,
// numbered when there are at least two.
SinkResult write_report_body(const ChainedError& top, TextSink& sink);

// The whole exit report: "Error: ", the body and a final line feed.
SinkResult write_exit_report(const ChainedError& top, TextSink& sink);

}  // namespace brisvane
