#pragma once

// What the probe library's load hooks left behind (see load_hooks_probe.cpp).
struct LoadHooksReport {
  int record_initialized;
  const void* instance;
  const void* first_list_head;
  const void* second_list_head;
  int registrations;
  int registrations_of_this_module;  // bound to the module's record, as an ordinary library
};

using ProbeLoadHooksFunction = void (*)(LoadHooksReport*);
