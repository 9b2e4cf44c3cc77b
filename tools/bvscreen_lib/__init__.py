"""The parts of bvscreen: inputs and their CIF metadata (inputs), the row of a
structure built from the programs' JSON summaries (rows), the running of
the programs (runner), the tables and plots (outputs) and the HTML report
(report).  rows.build_row is a plain function of the results, for callers
that run the programs their own way."""
