#!/usr/bin/env python3
"""graph_rows_estimate.py - what a store would take if the graphs of a series
shared chunk rows.

    bench/graph_rows_estimate.py STORE OUT

Today every chunk row holds one graph of one series: the wide run's 976 series
have 9,155 graphs and 73,089 chunk rows, each with its columns, check, index
entry and 14-byte blob header. This writes OUT, a copy of STORE in which the
chunks of a series that start at one time with one step and count (the
graphs of one closed chunk of the writer) share rows: a row holds a section
per graph (graph, data type, roles, the length of its columns, its columns as
stored) and is cut between sections where the next would not fit in what is
left of the page being filled, so that big rows do not leave the ends of pages
unused. The other tables are copied as they are.

It prints the rows and file bytes before and after, the bytes left unused in
the new chunk table, and the file less those: what a writer that fits its
rows to the page (as the migration's writer does, `src/chunk_packing.cpp`)
would come near. OUT is an estimate to be measured, not a store: no reader
reads it (its blobs have no checks).
"""
import os
import sqlite3
import sys
import urllib.parse

PAGE_BYTES = 16384
LEAF_HEADER = 8
BLOB_HEADER = 14  # format, roles, samples, check: what sections do not repeat
# A row's bytes besides its blob: cell pointer, payload and rowid varints,
# the record's header and the integer columns with the check (a little over).
ROW_BYTES = 60
ROW_BLOB_HEADER = 10  # the shared part: format, samples, check


def varint(n):
    out = bytearray()
    while True:
        low, n = n & 0x7F, n >> 7
        if not n:
            out.append(low)
            return bytes(out)
        out.append(low | 0x80)


def copy_other_tables(db):
    tables = db.execute("SELECT name, sql FROM src.sqlite_schema WHERE type = 'table' "
                        "AND name NOT LIKE 'sqlite_%' AND name != 'chunks'").fetchall()
    for name, sql in tables:
        db.execute(sql)
        db.execute(f'INSERT INTO main."{name}" SELECT * FROM src."{name}"')
    for (sql,) in db.execute("SELECT sql FROM src.sqlite_schema WHERE type = 'index' "
                             "AND sql IS NOT NULL AND tbl_name != 'chunks'").fetchall():
        db.execute(sql)


def shared_rows(db):
    """Writes the chunk rows of OUT; returns how many rows STORE had and OUT has."""
    db.execute("CREATE TABLE chunks(sid INTEGER NOT NULL, start_time INTEGER NOT NULL, "
               "step INTEGER NOT NULL, count INTEGER NOT NULL, end_time INTEGER NOT NULL, "
               "migration INTEGER NOT NULL, data BLOB NOT NULL, row_check INTEGER)")
    old_rows = new_rows = 0
    free = PAGE_BYTES - LEAF_HEADER

    def put(key, sections):
        nonlocal new_rows
        blob = b"\x05" + varint(key[3]) + bytes(8) + b"".join(sections)
        db.execute("INSERT INTO chunks VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                   key + (blob, 0x7123456789ABCDEF))
        new_rows += 1

    def flush(key, sections):
        nonlocal free
        row, size = [], ROW_BYTES + ROW_BLOB_HEADER
        for s in sections:
            if size + len(s) > free:  # the next page: a new row there
                if row:
                    put(key, row)
                row, size, free = [], ROW_BYTES + ROW_BLOB_HEADER, PAGE_BYTES - LEAF_HEADER
            row.append(s)
            size += len(s)
        put(key, row)
        free -= size
        if free < ROW_BYTES + 200:
            free = PAGE_BYTES - LEAF_HEADER

    key, sections = None, []
    for sid, start, step, count, end, migration, graph, data_type, data in db.execute(
            "SELECT sid, start_time, step, count, end_time, migration, graph, data_type, data "
            "FROM src.chunks ORDER BY sid, start_time, step, count, migration, graph"):
        old_rows += 1
        k = (sid, start, step, count, end, migration)
        if k != key:
            if sections:
                flush(key, sections)
            key, sections = k, []
        body = data[BLOB_HEADER:]
        sections.append(varint(graph) + bytes([data_type, data[1]]) + varint(len(body)) + body)
    if sections:
        flush(key, sections)
    db.execute("CREATE INDEX chunks_by_series ON chunks(sid, start_time)")
    return old_rows, new_rows


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: graph_rows_estimate.py STORE OUT")
    store, out = sys.argv[1:]
    if os.path.exists(out):
        os.remove(out)
    db = sqlite3.connect("file:" + urllib.parse.quote(out), uri=True)
    db.execute(f"PRAGMA page_size = {PAGE_BYTES}")
    db.execute("ATTACH ? AS src", ("file:" + urllib.parse.quote(store) + "?mode=ro",))
    copy_other_tables(db)
    old_rows, new_rows = shared_rows(db)
    db.commit()
    unused = db.execute("SELECT sum(unused) FROM dbstat WHERE name = 'chunks'").fetchone()[0]
    db.close()
    before, after = os.path.getsize(store), os.path.getsize(out)
    print(f"chunk rows {old_rows} -> {new_rows}; file {before} -> {after} bytes; "
          f"unused in chunks {unused}; file less unused {after - unused}")


if __name__ == "__main__":
    main()
