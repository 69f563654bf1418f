#pragma once

namespace Orvane {
namespace Zendral {

// The texts the queue answers clients with, in one place for both stores.
namespace QueueReplies {

constexpr const char *InvalidData = "Invalid data...";
constexpr const char *JobNameEmpty = "Job name is empty...";
constexpr const char *JobNonExistent = "Job non-existent...";
constexpr const char *UploadFailed = "Data upload exception, Please contact the server administrator...";
constexpr const char *TooManyJobs = "Too many jobs...";
constexpr const char *NotEnoughDisk = "Not enough disk space...";
constexpr const char *NotRemoved = "Job could not be removed...";
constexpr const char *ServiceBusy = "Service busy...";
constexpr const char *NotHoldable = "Only a waiting or running job can be held...";
constexpr const char *NotHeld = "Job is not held...";
constexpr const char *NotKept = "The change could not be stored...";

} // namespace QueueReplies

} // namespace Zendral
} // namespace Orvane
