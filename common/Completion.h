// CompletionBase and ParamCompletion: what an operation calls when it is over.
//
// An operation holds its completion through a SmartPtr and calls Complete with
// itself exactly once per run, with no operation lock held. ParamCompletion
// forwards to a plain function together with a parameter that it keeps alive
// (the library uses SmartPtr<RefCount> parameters for contexts and owners).
//
// Thread safety: a completion is called on the thread that delivers the
// operation (a pump thread, or the caller of a blocking run); it holds no
// state that changes after construction.
#ifndef QORAPI_COMMON_COMPLETION_H
#define QORAPI_COMMON_COMPLETION_H

#include "common/RefCount.h"

#include <utility>

namespace QORAPI {

template <class T>
class CompletionBase : public RefCount
{
public:
    ~CompletionBase() override = default;
    virtual void Complete(T result) = 0;
};

template <class T, class P>
class ParamCompletion : public CompletionBase<T>
{
public:
    using Func = void (*)(T result, P param);

    ParamCompletion(Func func, const P& param) : mFunc(func), mParam(param) {}

    // Calls mFunc with copies of the result and the parameter; nothing when
    // there is no function.
    void Complete(T result) override
    {
        Func func = mFunc;
        P param = mParam;
        if (func)
            func(std::move(result), std::move(param));
    }

    const P& GetParam() const { return mParam; }

private:
    Func mFunc;
    P mParam;
};

} // namespace QORAPI

#endif
