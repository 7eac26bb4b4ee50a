#include "Core/Pipeline/PipelineSession.h"

void PipelineSession::releaseTasks() {
    contextTask.reset();
    backendPingTask.reset();
    screenCaptureTask.reset();
}

void PipelineSession::cancelTasks() {
    if (contextTask) contextTask->cancel();
    if (backendPingTask) backendPingTask->cancel();
    if (screenCaptureTask) screenCaptureTask->cancel();
    releaseTasks();
}
