#include "sim/internal/apdu.h"

namespace korva::sim {

std::optional<Command> parseCommand(std::span<const uint8_t> apdu) {
  if (apdu.size() < 4) return std::nullopt;
  Command command;
  command.cla = apdu[0];
  command.ins = apdu[1];
  command.p1 = apdu[2];
  command.p2 = apdu[3];
  const std::span<const uint8_t> body = apdu.subspan(4);
  if (body.empty()) return command;  // case 1

  if (body.size() == 1) {  // case 2, short Le
    command.le = body[0] == 0 ? 256 : body[0];
    return command;
  }
  if (body[0] != 0) {  // short Lc
    const std::size_t lc = body[0];
    if (body.size() != 1 + lc && body.size() != 2 + lc) return std::nullopt;
    command.data.assign(body.begin() + 1, body.begin() + 1 + static_cast<std::ptrdiff_t>(lc));
    if (body.size() == 2 + lc) command.le = body[1 + lc] == 0 ? 256 : body[1 + lc];
    return command;
  }
  // Extended form: 00 then two length bytes.
  if (body.size() < 3) return std::nullopt;
  const std::size_t field = static_cast<std::size_t>(body[1]) << 8 | body[2];
  if (body.size() == 3) {  // case 2, extended Le
    command.le = field == 0 ? 65536 : field;
    return command;
  }
  if (field == 0) return std::nullopt;
  const std::size_t lc = field;
  if (body.size() != 3 + lc && body.size() != 5 + lc) return std::nullopt;
  command.data.assign(body.begin() + 3, body.begin() + 3 + static_cast<std::ptrdiff_t>(lc));
  if (body.size() == 5 + lc) {
    const std::size_t le = static_cast<std::size_t>(body[3 + lc]) << 8 | body[4 + lc];
    command.le = le == 0 ? 65536 : le;
  }
  return command;
}

Answer statusOnly(uint16_t statusWord) {
  Answer answer;
  answer.sw1 = static_cast<uint8_t>(statusWord >> 8);
  answer.sw2 = static_cast<uint8_t>(statusWord);
  return answer;
}

Answer dataAnswer(std::vector<uint8_t> data, uint16_t statusWord) {
  Answer answer = statusOnly(statusWord);
  answer.data = std::move(data);
  return answer;
}

Answer answerExactly(const Command& command, std::vector<uint8_t> data) {
  if (command.le == data.size() || (command.le >= 256 && data.size() <= 256))
    return dataAnswer(std::move(data));
  return statusOnly(static_cast<uint16_t>(sw::wrongLe | (data.size() & 0xFF)));
}

}  // namespace korva::sim
