#include "exchange.h"

#include <cctype>

namespace sim {

std::string Exchange::Digits(std::string_view number) {
    std::string digits;
    for (char c : number)
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '*' || c == '#') digits += c;
    return digits;
}

void Exchange::Attach(std::string_view number, Party& party) {
    std::string digits = Digits(number);
    if (!digits.empty()) parties_[digits] = &party;
}

void Exchange::SetOutcome(std::string_view number, Outcome outcome, uint32_t delayMs) {
    outcomes_[Digits(number)] = Route{nullptr, outcome, delayMs};
}

void Exchange::SetUnknownOutcome(Outcome outcome, uint32_t delayMs) {
    unknown_ = Route{nullptr, outcome, delayMs};
}

Route Exchange::Resolve(std::string_view number) const {
    std::string digits = Digits(number);
    if (auto outcome = outcomes_.find(digits); outcome != outcomes_.end()) return outcome->second;
    if (auto party = parties_.find(digits); party != parties_.end())
        return Route{party->second, Outcome::kNoCarrier, 0};
    return unknown_;
}

}  // namespace sim
