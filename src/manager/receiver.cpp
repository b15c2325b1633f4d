#include "manager/receiver.h"

#include "common/call.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm {

namespace {

constexpr const char* kStopped = "The manager has stopped";

}  // namespace

ManagerClass ManagerClass::from(PyObject* module) { return ManagerClass{state_of_module(module)}; }

collab::Holder Manager::var() const {
  return collab::Holder(st, take(PyObject_GetAttr(self, st.names._var)));
}

Ref Manager::sink() const { return take(PyObject_GetAttr(self, st.names._log)); }

collab::Table Manager::table(const collab::Holder& var) const {
  return collab::Table(st, var.field(st.names.threads));
}

void Manager::log(collab::Level level, Borrowed message) const {
  collab::log(st, sink(), level, message);
}

void Manager::log(collab::Level level, const char* text) const {
  collab::log(st, sink(), level, text);
}

void Manager::log_setting(const char* label, Borrowed value) const {
  Ref shown = take(PyObject_Format(value, st.texts.empty));
  log(collab::Level::Info, take(PyUnicode_FromFormat("%s: %U", label, shown.get())));
}

void Manager::check_open() const {
  if (!var().truth(st.names.switch_)) raise_stopped();
}

void Manager::check_program_running() const {
  if (st.shutting_down.load()) raise_stopped();
}

void Manager::raise_stopped() const { vt::raise_format(st.manager_error, "%s", kStopped); }

bool Manager::closed_meanwhile() const {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  bool open = true;
  // The queue's error waits aside while the switch is read.
  vt::StashedError queue_error;
  vt::quietly([&] { open = var().truth(st.names.switch_); });
  return !open;
}

}  // namespace vtm
