#pragma once

// Everything a host program needs: the client, its families, responses, errors and records.
#include "corvane/articulation.hpp"
#include "corvane/batch.hpp"
#include "corvane/camera.hpp"
#include "corvane/client.hpp"
#include "corvane/errors.hpp"
#include "corvane/observer.hpp"
#include "corvane/options.hpp"
#include "corvane/reconnecting_stream.hpp"
#include "corvane/response.hpp"
#include "corvane/retry_policy.hpp"
#include "corvane/stream.hpp"
#include "corvane/surface_gripper.hpp"
#include "corvane/version.hpp"
