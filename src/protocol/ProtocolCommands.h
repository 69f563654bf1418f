#pragma once

// The command names of the client protocol (the part of a request body
// before '@'), shared by the service's sessions, the command-line client
// and the benchmark. Clients in the field send exactly these bytes.
namespace Orvane {
namespace Zendral {
namespace Command {

constexpr char InitSession[] = "INIT_SESSION";
constexpr char AddNesterJob[] = "ADD_NESTER_JOB";
constexpr char PickUpNesterJob[] = "PICKUP_NESTER_JOB";
constexpr char GetNesterJobList[] = "GET_NESTER_JOB_LIST";
constexpr char MoveNesterJobStep[] = "MOVE_NESTER_JOB_STEP";
constexpr char RemoveNesterJob[] = "REMOVE_NESTER_JOB";
constexpr char LogoutSession[] = "LOGOUT_SESSION";

} // namespace Command
} // namespace Zendral
} // namespace Orvane
