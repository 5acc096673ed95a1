#include "spool/status_record.h"

#include "spool/commands.h"

namespace lorvane {

std::string formatStatusRecord(unsigned modemStatus) {
  std::string record = "0,0,0,0";
  record[0] = (modemStatus & 0x10u) ? '1' : '0';
  record[2] = (modemStatus & 0x20u) ? '1' : '0';
  record[4] = (modemStatus & 0x40u) ? '1' : '0';
  record[6] = (modemStatus & 0x80u) ? '1' : '0';
  return record;
}

LineStates parseStatusRecord(std::string_view text) {
  const auto end = text.find('\0');
  if (end != std::string_view::npos) text = text.substr(0, end);

  LineStates states;
  std::int32_t* fields[] = {&states.cts, &states.dsr, &states.ring,
                            &states.rlsd};
  std::size_t pos = 0;
  for (auto* field : fields) {
    while (pos < text.size() && text[pos] == ',') ++pos;
    if (pos >= text.size()) break;
    auto next = text.find(',', pos);
    if (next == std::string_view::npos) next = text.size();
    *field = parseDecimal(text.substr(pos, next - pos));
    pos = next;
  }
  return states;
}

}  // namespace lorvane
