#include "spool/layout.h"

#include <algorithm>
#include <cstdio>

#include "platform/process.h"

namespace lorvane {

std::string directoryOf(std::string_view executablePath) {
  const auto slash = executablePath.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(executablePath.substr(0, slash));
}

std::optional<std::string> installDirectory() {
  const auto path = platform::executablePath();
  if (!path) return std::nullopt;
  return directoryOf(*path);
}

std::string joinPath(std::string_view directory, std::string_view name) {
  std::string path;
  path.reserve(directory.size() + 1 + name.size());
  path.append(directory);
  path.push_back('/');
  path.append(name);
  return path;
}

std::string serverTitle(std::string_view installDir) {
  std::string title = joinPath(installDir, serverProgramName);
  std::replace(title.begin(), title.end(), ' ', '_');
  return title;
}

std::string spoolStamp(const platform::WallClock& clock,
                       std::uint64_t counter) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d%03d%03u",
                clock.year, clock.month, clock.day, clock.hour, clock.minute,
                clock.second, clock.millisecond,
                static_cast<unsigned>(counter % 1000));
  return stamp;
}

std::string spoolFileName(std::string_view directory, std::uint64_t counter,
                          std::string_view suffix) {
  std::string name = spoolStamp(platform::readWallClock(), counter);
  name.append(suffix);
  name.append(".dat");
  return joinPath(directory, name);
}

std::optional<int> counterField(std::string_view name) {
  const auto slash = name.rfind('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name.size() < 24 || !name.ends_with(".dat")) return std::nullopt;
  for (std::size_t i = 0; i < 20; ++i) {
    if (name[i] < '0' || name[i] > '9') return std::nullopt;
  }
  return (name[17] - '0') * 100 + (name[18] - '0') * 10 + (name[19] - '0');
}

}  // namespace lorvane
