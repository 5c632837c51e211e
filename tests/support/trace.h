// Reading the host runtime's trace: one line per runtime call, e.g.
//   launch dev=0 stream=2/-5 kernel=inject_source grid=1x1x1 block=256x1x1 args=a1+0,...
#pragma once

#include <string>
#include <vector>

std::vector<std::string> read_lines(const std::string& path);
// The lines whose call (first word) is one of `calls`, in order.
std::vector<std::string> select_calls(const std::vector<std::string>& lines, const std::vector<std::string>& calls);
// The value of `key=` in a line ("" when absent); for args, the whole list.
std::string trace_field(const std::string& line, const std::string& key);
// The i-th comma-separated entry of a launch's args.
std::string launch_arg(const std::string& line, int i);
