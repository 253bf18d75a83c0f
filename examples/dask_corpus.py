"""A corpus check on Dask's distributed scheduler: find and verify the C2PA
text manifest of every document, spread over worker processes.

    pip install quorvane "dask[distributed]"
    python examples/dask_corpus.py [DOCUMENTS]

Run as a script, it makes a small corpus (signed, edited, unsigned and
doubly signed documents), starts a local cluster of two worker processes
and prints how many documents came out which way.

The functions of quorvane pickle by reference (as `quorvane.extract` and so
on), so they can be handed to Dask, concurrent.futures or multiprocessing
as they are; every worker process imports the module once. Calls on large
texts release the interpreter lock while the library scans, so threads of a
worker run alongside them.
"""
import sys
from collections import Counter

import dask.bag
import quorvane

OK = "ok"
UNSIGNED = "no manifest"


def check_document(text, binding):
    """The outcome for one document: OK, UNSIGNED, or the failure's message,
    which ends in the C2PA status code.

    `binding` is the document's c2pa.hash.data assertion ({"alg", "hash",
    "exclusions"}), which a C2PA validator reads from the manifest store
    that `extract` returns; None for a document that has none.
    """
    try:
        found = quorvane.extract(text)
        if found is None:
            return UNSIGNED
        # Here the manifest store found["payload"] goes to the C2PA
        # validator, which checks its signature and yields the binding.
        quorvane.verify_data_hash(text, binding["hash"], binding["exclusions"], binding["alg"])
    except ValueError as failure:
        return str(failure)
    return OK


def check_corpus(client, documents, partition_size=64):
    """The outcomes of check_document for (text, binding) pairs, in order,
    computed on the cluster of `client`, `partition_size` documents a task."""
    bag = dask.bag.from_sequence(documents, partition_size=partition_size)
    return bag.starmap(check_document).compute(scheduler=client)


def make_corpus(count):
    """`count` (text, binding) pairs and the outcome expected for each."""
    documents, expected = [], []
    for i in range(count):
        text = "Document %d: r\u00e9sum\u00e9 of the quarter, \u6570\u636e %d. " % (i, i * i)
        store = b"manifest store %d " % i * (1 + i % 5)
        signed = text + quorvane.encode_padded(store)
        binding = quorvane.compute_data_hash(signed, ("sha256", "sha384", "sha512")[i % 3])
        kind = i % 7
        if kind == 1:  # edited after signing
            documents.append((signed.replace("quarter", "Quarter"), binding))
            expected.append("data hash does not match the asset content "
                            "[assertion.dataHash.mismatch]")
        elif kind == 2:  # never signed
            documents.append((text, None))
            expected.append(UNSIGNED)
        elif kind == 3:  # a second wrapper appended
            documents.append((quorvane.embed(signed, b"another"), binding))
            expected.append("more than one valid wrapper found "
                            "[manifest.text.multipleWrappers]")
        else:
            documents.append((signed, binding))
            expected.append(OK)
    return documents, expected


def main(count):
    from dask.distributed import Client, LocalCluster

    documents, expected = make_corpus(count)
    with LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        outcomes = check_corpus(client, documents)
    for outcome, n in Counter(outcomes).most_common():
        print("%6d  %s" % (n, outcome))
    return 0 if outcomes == expected else 1


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 200))
