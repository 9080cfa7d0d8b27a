#include "FaultPlan.h"

namespace kintonesim {

void FaultPlan::add(FaultRule rule) {
    m_rules.push_back({std::move(rule), 0});
}

void FaultPlan::clear() {
    m_rules.clear();
}

std::optional<Fault> FaultPlan::match(const RecordedRequest& request) {
    for (auto& active : m_rules) {
        const FaultRule& rule = active.rule;
        if ((!rule.method.empty() && rule.method != request.method) ||
            (!rule.path.empty() && rule.path != request.path) ||
            (!rule.queryContains.empty() && request.query.find(rule.queryContains) == std::string::npos))
            continue;
        const int index = active.matched++;
        if (index >= rule.skip && (rule.times < 0 || index < rule.skip + rule.times))
            return rule.fault;
    }
    return std::nullopt;
}

} // namespace kintonesim
