"""Records a small pipeline, reduces it and shows what came out."""

import trellan_core as tc

g = tc.GraphStore()
x = g.add_source("x", {"shape": "1000x1000"})
y = g.add_source("y")
s = g.add_op("add", [x, y])                      # x + y
s2 = g.add_op("add", [y, x])                     # y + x: same value, commutative
z = g.add_op("add", [s], {"scalar": 0.0, "side": "r"})   # + 0.0 is an identity
e = g.add_op("exp", [z])
m = g.add_op("mul", [e, s2])
dead = g.add_op("log", [x])                      # never reaches an output
r = g.add_reduction("sum", [m], {"axis": 0})
shuffled = g.add_exchange([r], {"scheme": "hash"})

print(f"recorded {g.node_count()} nodes")
reduced, report = g.reduce(outputs=[shuffled])
print("report:", report)
for node in reduced.nodes():
    print(node)
print(reduced.to_dot())
blob = reduced.serialize()
print(f"reduced blob: {len(blob)} bytes; round trip ok:",
      tc.GraphStore.deserialize(blob).serialize() == blob)
