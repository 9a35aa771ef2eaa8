#include "functions/blas.h"

#include <dlfcn.h>

#include <initializer_list>

namespace varn::blas {

namespace {

// A function of the BLAS or LAPACK that CHOLMOD loaded (null when there is none by that name).
// Both are already loaded as CHOLMOD's dependencies: only look them up, never load one.
void* symbol(const char* name) {
  void* found = nullptr;
  for (const char* library : {"libblas.so.3", "liblapack.so.3", "libopenblas.so.0"}) {
    if (void* h = dlopen(library, RTLD_LAZY | RTLD_NOLOAD)) {
      found = dlsym(h, name);
      dlclose(h);
      if (found) break;
    }
  }
  return found != nullptr ? found : dlsym(RTLD_DEFAULT, name);
}

}  // namespace

SetThreads thread_setter() {
  static const auto fn = reinterpret_cast<SetThreads>(symbol("openblas_set_num_threads"));
  return fn;
}

const Kernels& kernels() {
  static const Kernels fns{reinterpret_cast<Dtrsm>(symbol("dtrsm_")), reinterpret_cast<Dgemm>(symbol("dgemm_")),
                           reinterpret_cast<Dsyrk>(symbol("dsyrk_")), reinterpret_cast<Dpotrf>(symbol("dpotrf_")),
                           reinterpret_cast<Dtrsv>(symbol("dtrsv_")), reinterpret_cast<Dgemv>(symbol("dgemv_"))};
  return fns;
}

}  // namespace varn::blas
