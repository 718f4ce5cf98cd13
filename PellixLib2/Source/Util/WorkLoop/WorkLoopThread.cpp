#include "WorkLoopThread.h"

WORKLOOP_NAMESPACE_BEGIN

namespace {

// The thread's part of both classes: makes the thread's loop, runs it, destroys it.
void ServeLoop(WorkLoopThreadRunner& runner, std::unique_ptr<WorkLoop>& workLoop,
               const std::function<void()>& run)
{
    runner.Serve([&] { workLoop = std::make_unique<WorkLoop>(); }, run, [&] { workLoop.reset(); });
}

} // namespace

WorkLoopThread::~WorkLoopThread()
{
    fRunner.Stop();
}

void WorkLoopThread::Start()
{
    // A failed set-up has already ended the thread.
    fRunner.Start([this] { ThreadProc(this); });
}

void WorkLoopThread::Stop()
{
    fRunner.Stop();
}

void WorkLoopThread::ThreadProc(WorkLoopThread* self)
{
    if (!self) {
        return;
    }
    ServeLoop(self->fRunner, self->fWorkLoop, [self] {
        self->WorkLoopThreadStarted();
        self->fWorkLoop->Run();
        self->WorkLoopThreadStopped();
    });
}

WorkLoopThread2::~WorkLoopThread2()
{
    fRunner.Stop();
}

void WorkLoopThread2::Start()
{
    if (std::exception_ptr failure = fRunner.Start([this] { ThreadProc(this); })) {
        std::rethrow_exception(failure);
    }
}

void WorkLoopThread2::Stop()
{
    fRunner.Stop();
}

void WorkLoopThread2::ThreadProc(WorkLoopThread2* self)
{
    if (!self) {
        return;
    }
    ServeLoop(self->fRunner, self->fWorkLoop, [self] { self->fWorkLoop->Run(); });
}

WORKLOOP_NAMESPACE_END
