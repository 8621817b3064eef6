#!/bin/bash
# Converts one input set on many machines: array task K of N runs
# brevanto-cli --shard K/N over the whole list, so the N tasks convert
# every station exactly once and never share one.
#
# Every node needs:
# - the data folder on a shared file system with working fcntl locks
#   (NFSv4, or NFSv3 with lockd/statd), writable by the job's user, and
#   files creatable in its .brevanto-lock/ (one group, umask 002);
# - the same VEZ.ini (--vez-ini, or ~/.config/VEZ.ini on a shared home);
# - an odbc.ini data source VEZ pointing at one PostgreSQL or MariaDB
#   server reachable from every node (SQLite would serialise the commits),
#   with max_connections enough for all tasks;
# - the input list ($inputs, one file a line, absolute paths) and the
#   files it names, readable;
# - brevanto installed (brevanto-cli on the PATH).
# COMMIT_MS of [BREVANTO] is read from ./brevanto.ini in the folder the job
# is submitted from, which is each task's working folder.
#
# Submit from the folder that holds the list: sbatch docs/slurm-brevanto.sh
# Each task's exit status is brevanto-cli's: 0 converted and registered,
# 1 something failed (see the task's log), 2 usage, 3 archive could not be
# opened, 143 stopped by SIGTERM (scancel, time limit: what was read is
# registered). Then: brevanto-cli --check. Failed tasks (sacct -j JOBID
# -o JobID,State,ExitCode) are resubmitted by their numbers, for example
#   sbatch --array=3,6 docs/slurm-brevanto.sh
# Running a shard again is safe: it replaces its own files and their rows.
#
#SBATCH --job-name=brevanto
#SBATCH --array=1-8
#SBATCH --cpus-per-task=4
#SBATCH --output=brevanto-%A_%a.log
set -euo pipefail

# The number of shards: the top of --array. Not $SLURM_ARRAY_TASK_COUNT,
# which a resubmission of some tasks (--array=3,6) would change.
shards=8
inputs=${BREVANTO_INPUTS:-inputs}

exec brevanto-cli -q --jobs "${SLURM_CPUS_PER_TASK:-1}" \
  --shard "$((SLURM_ARRAY_TASK_ID))/$shards" "@$inputs"
