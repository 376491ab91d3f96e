// The units of a call: which cvxpy constraints the bounds, the objective and each constraint
// object contributed.
#include "optimize/units.hpp"

namespace morvane::optimize {

void Units::add(const py::object& key, const py::object& constraints, bool hard, bool reported) {
  Unit unit;
  unit.key = key;
  unit.constraints = py::list(constraints);
  unit.hard = hard;
  unit.reported = reported;
  for (py::handle c : unit.constraints) owner_.emplace(c.ptr(), units_.size());
  units_.push_back(std::move(unit));
}

void Units::drop_soft() {
  std::vector<Unit> kept;
  for (Unit& unit : units_) {
    if (unit.hard) kept.push_back(std::move(unit));
  }
  units_ = std::move(kept);
  reindex();
}

void Units::reindex() {
  owner_.clear();
  for (std::size_t i = 0; i < units_.size(); ++i) {
    for (py::handle c : units_[i].constraints) owner_.emplace(c.ptr(), i);
  }
}

std::optional<std::size_t> Units::owner(const py::handle& constraint) const {
  auto found = owner_.find(constraint.ptr());
  if (found == owner_.end()) return std::nullopt;
  return found->second;
}

py::list Units::unowned(const py::handle& constraints) const {
  py::list result;
  for (py::handle c : constraints) {
    if (!owner(c)) result.append(c);
  }
  return result;
}

}  // namespace morvane::optimize
