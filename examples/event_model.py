"""An event rainfall-runoff model, step by step.

An hourly storm hyetograph is disaggregated to 15-minute steps, as a
hydrologist would before running a finer-grained event model.
"""

from datetime import timedelta

import tarnwick

IncrementalTimeSeries = tarnwick.utils.IncrementalTimeSeries


def show(title, series):
    step = series.time_step
    print(f"{title} ({series.kind}, step {step}, {len(series.data)} values)")
    for i, value in enumerate(series.data):
        print(f"  {step * i}  {value:8.4f}")


def main():
    # Gross rainfall, inches per hour, for a six-hour storm.
    storm = IncrementalTimeSeries(
        [0.05, 0.30, 0.85, 0.40, 0.15, 0.05], timedelta(hours=1), "rainfall"
    )
    show("Hourly storm", storm)

    fine = storm.disaggregate(15 * 60)
    show("Disaggregated to 15 minutes", fine)
    print(f"Storm depth: {sum(storm.data):.4f} in hourly, {sum(fine.data):.4f} in at 15 minutes")


if __name__ == "__main__":
    main()
