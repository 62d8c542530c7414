#include "domain/convert_options.h"
#include "domain/job_state.h"

ConvertOptionMap ConvertOptions;
std::atomic<int> g_job_state{JobIdle};
