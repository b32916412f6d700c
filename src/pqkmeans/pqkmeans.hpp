#pragma once
/// The interface of PQ k-means: the model and its training drivers, and the
/// passes and steps they are built from, for the bindings, the analyses built
/// on the model and the tests.

#include "pqkmeans/assignment_buffers.hpp"
#include "pqkmeans/center_update.hpp"
#include "pqkmeans/codeword_distances.hpp"
#include "pqkmeans/lookup_table.hpp"
#include "pqkmeans/model.hpp"
#include "pqkmeans/profile.hpp"
#include "pqkmeans/row_scans.hpp"
#include "pqkmeans/table_scan.hpp"
#include "pqkmeans/training_loop.hpp"
