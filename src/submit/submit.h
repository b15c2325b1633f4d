// Submission of single tasks. Body of VigilThreadsMain._send; the method
// table is in manager/methods.cpp.
#pragma once
#include "manager/receiver.h"

namespace vtm::submit {

vt::Ref send(Manager m, vt::Borrowed thread_name, vt::Borrowed kwargs);

}  // namespace vtm::submit
