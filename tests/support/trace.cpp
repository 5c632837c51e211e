#include "trace.h"

#include <fstream>
#include <sstream>

std::vector<std::string> read_lines(const std::string& path)
{
    std::ifstream f(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> select_calls(const std::vector<std::string>& lines, const std::vector<std::string>& calls)
{
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        const std::string call = line.substr(0, line.find(' '));
        for (const std::string& c : calls)
            if (call == c)
                out.push_back(line);
    }
    return out;
}

std::string trace_field(const std::string& line, const std::string& key)
{
    const std::string needle = " " + key + "=";
    const size_t at = line.find(needle);
    if (at == std::string::npos)
        return "";
    const size_t begin = at + needle.size();
    const size_t end = line.find(' ', begin);
    return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::string launch_arg(const std::string& line, int i)
{
    std::stringstream args(trace_field(line, "args"));
    std::string item;
    for (int k = 0; std::getline(args, item, ','); ++k)
        if (k == i)
            return item;
    return "";
}
