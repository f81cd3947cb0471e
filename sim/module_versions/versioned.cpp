// A library that is found and versioned, and does nothing else.

#ifdef _WIN32
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

SIM_EXPORT int ferry_versioned_marker(void) {
  return 1;
}
