// The JSON Schemas of the JSON channels that have a fixed form: viewers know their fields before data comes.
#include "record/recorder_encode.hpp"

namespace corvane::record {

const char* const kCalibrationSchemaName = "foxglove.CameraCalibration";
const char* const kCalibrationSchema = R"({"title":"foxglove.CameraCalibration","type":"object","properties":{
"timestamp":{"type":"object","properties":{"sec":{"type":"integer"},"nsec":{"type":"integer"}}},
"frame_id":{"type":"string"},"width":{"type":"integer"},"height":{"type":"integer"},
"distortion_model":{"type":"string"},"D":{"type":"array","items":{"type":"number"}},
"K":{"type":"array","items":{"type":"number"}},"R":{"type":"array","items":{"type":"number"}},
"P":{"type":"array","items":{"type":"number"}}}})";

const char* const kTransformSchemaName = "foxglove.FrameTransform";
const char* const kTransformSchema = R"({"title":"foxglove.FrameTransform","type":"object","properties":{
"timestamp":{"type":"object","properties":{"sec":{"type":"integer"},"nsec":{"type":"integer"}}},
"parent_frame_id":{"type":"string"},"child_frame_id":{"type":"string"},
"translation":{"type":"object","properties":{"x":{"type":"number"},"y":{"type":"number"},"z":{"type":"number"}}},
"rotation":{"type":"object","properties":{"x":{"type":"number"},"y":{"type":"number"},"z":{"type":"number"},
"w":{"type":"number"}}}}})";

const char* const kRestSchemaName = "corvane.RestExchange";
const char* const kRestSchema = R"({"title":"corvane.RestExchange","type":"object","properties":{
"method":{"type":"string"},"path":{"type":"string"},"attempts":{"type":"integer"},"status":{"type":"integer"},
"request":{},"reply":{},"request_bytes":{"type":"integer"},"reply_bytes":{"type":"integer"},
"headers":{"type":"object"},"error":{"type":"string"},"start_ns":{"type":"integer"},"end_ns":{"type":"integer"}}})";

const char* const kJointSampleSchemaName = "corvane.JointSample";
const char* const kJointSampleSchema = R"({"title":"corvane.JointSample","type":"object","properties":{
"joint_names":{"type":"array","items":{"type":"string"}},"joint_positions":{"type":"array","items":{"type":"number"}},
"joint_velocities":{"type":"array","items":{"type":"number"}},"seq":{"type":"integer"},"sent_ns":{"type":"integer"}}})";

}  // namespace corvane::record
