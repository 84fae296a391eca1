// What a run writes once the verdict is in, in one order for every front end (tarn, tarn-mpi,
// and the linked graph's run in the tests): the warnings of the data (values that are not
// finite, columns that could not be standardised, overflowing distances), the outlier class
// of -P, the picture's columns, the duplicates warning, the picture, the report or the table
// of scores, and the evaluation.
#ifndef TARN_DRIVER_RUN_H
#define TARN_DRIVER_RUN_H

#include <cstdint>
#include <span>

#include "base/alloc.h"
#include "detect/construct.h"
#include "detect/model.h"
#include "rules/rules.h"

struct Parameters;

namespace tarn {

// What a detection leaves for the output.
struct Finished {
    const Rows& rows;                      // every vector, as the rule saw them
    const Verdict& verdict;                // this process's block (every vector on one)
    bool overflow;                         // distances_overflow of the run
    DuplicateScores duplicates;            // over every block
    const Array<int32_t>& unstandardised;  // the columns -z could not standardise
    int32_t vectors = -1;  // the run's count where rows hold only the vectors to warn of
    // With -g where rows hold no vectors: each vector's plotted point (driver/plot.h), on the
    // speaker.
    const double* plotted = nullptr;
    int32_t count() const { return vectors < 0 ? static_cast<int32_t>(rows.size()) : vectors; }
};

// Where the output goes. A run on one process writes it all itself; in a distributed run one
// process speaks for all, decides for all and gathers what it writes.
class Outlet {
public:
    // Whether this process writes the output and the warnings.
    virtual bool speaks() const = 0;
    // The speaker's value, on every process.
    virtual int32_t agree(int32_t mine) = 0;
    // The verdict on every vector (its score, lof, label and marked fields), on the speaker,
    // valid while the outlet lives.
    virtual const Verdict& whole(const Verdict& block) = 0;
    // Prints the text report of every vector; false when standard output did not take it.
    virtual bool report(const Verdict& block, const Parameters* p) = 0;

protected:
    ~Outlet() = default;
};

// The outlet of a run on one process.
class LocalOutlet final : public Outlet {
public:
    bool speaks() const override { return true; }
    int32_t agree(int32_t mine) override { return mine; }
    const Verdict& whole(const Verdict& block) override { return block; }
    bool report(const Verdict& block, const Parameters* p) override;
};

// What -r all's detection leaves: every rule's verdict on this process's block (every vector on
// one), in table order, with its duplicate scores.
struct FinishedRules {
    const Rows& rows;
    std::span<const Verdict> verdicts;
    std::span<const DuplicateScores> duplicates;
    bool overflow;
    const Array<int32_t>& unstandardised;
    int32_t vectors = -1;  // as Finished's
    int32_t count() const { return vectors < 0 ? static_cast<int32_t>(rows.size()) : vectors; }
};

// -r all's output: the warnings, a report column per rule (or -O's columns), -e's comparison
// line per rule. Returns the run's status as finish_run does.
int32_t finish_every_rule(const FinishedRules& run, Parameters* p, Outlet& outlet);

// Writes the output of a finished detection; returns the run's status, 0 or -1 once it has
// said why. A failure to write the report or to standard output ends the process.
int32_t finish_run(const Finished& run, Parameters* p, Outlet& outlet);

// The model's shape (detect/model.h) made the run's: -k and -z given on the command line that
// ask for another are refused (the message on standard output, then the process ends).
void take_shape(Parameters* p, const ModelShape& shape);

// The shape the run's options give a reference it saves.
ModelShape shape_of(const Parameters* p);

// Refuses the combinations of -R and -W that cannot work, before anything is read: the
// message on standard output, then the process ends.
void check_reference_options(const Parameters* p);

// The whole run of the program: parameters, graph, picture, report, evaluation, release.
// Returns the process status: 0 after a complete run, -1 when the picture cannot be written or
// an allocation of the C++ library fails (the allocation message on standard output); every
// other failure ends the process where it happens.
int run_command_line(int argc, char** argv);

}  // namespace tarn

#endif
