#include "pdf/mu_context.h"

#include <mutex>

#include "pdf/memory_budget.h"

namespace kestran::pdf {
namespace {

// The base context and its locks. Never dropped: worker threads may still hold
// clones while the process ends, and the store must outlive them.
class MuBase {
public:
    static MuBase& Instance()
    {
        static MuBase* base = new MuBase();  // intentionally immortal, see above
        return *base;
    }

    fz_context* Context() const { return base_; }

    static void Silence(fz_context* ctx)
    {
        fz_set_warning_callback(ctx, [](void*, const char*) {}, nullptr);
        fz_set_error_callback(ctx, [](void*, const char*) {}, nullptr);
    }

private:
    MuBase()
    {
        locks_.user = this;
        locks_.lock = [](void* user, int lock) { static_cast<MuBase*>(user)->mutexes_[lock].lock(); };
        locks_.unlock = [](void* user, int lock) { static_cast<MuBase*>(user)->mutexes_[lock].unlock(); };
        // Clones share the allocator: every MuPDF allocation of the process
        // is counted against the memory budgets.
        base_ = fz_new_context(CountingAllocator(), &locks_, FZ_STORE_DEFAULT);
        if (base_ == nullptr)
            return;
        Silence(base_);
        fz_try(base_) { fz_register_document_handlers(base_); }
        fz_catch(base_) {}
    }

    std::mutex mutexes_[FZ_LOCK_MAX];
    fz_locks_context locks_{};
    fz_context* base_ = nullptr;
};

}  // namespace

MuContextPtr NewThreadContext()
{
    MuBase& base = MuBase::Instance();
    if (base.Context() == nullptr)
        return MuContextPtr();
    MuContextPtr ctx(fz_clone_context(base.Context()));
    if (ctx)
        MuBase::Silence(ctx.get());
    return ctx;
}

MuContextPtr CloneThreadContext(fz_context* ctx)
{
    MuContextPtr clone(ctx != nullptr ? fz_clone_context(ctx) : nullptr);
    if (clone)
        MuBase::Silence(clone.get());
    return clone;
}

void UsePrivateStore(fz_context* ctx, size_t max_bytes)
{
    fz_drop_store_context(ctx);  // the clone's reference to the shared store
    fz_new_store_context(ctx, max_bytes);
}

}  // namespace kestran::pdf
