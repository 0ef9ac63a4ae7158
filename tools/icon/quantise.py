"""Median-cut colour reduction to an exact number of colours, every one of them used."""
import heapq


def _spread(colours):
    """Weighted squared error of a box around its mean; the box to split next has the largest."""
    total = sum(n for _, n in colours)
    mean = [sum(c[i] * n for c, n in colours) / total for i in range(3)]
    return sum(n * sum((c[i] - mean[i]) ** 2 for i in range(3)) for c, n in colours)


def _split(colours):
    axis = max(range(3), key=lambda i: max(c[i] for c, _ in colours) - min(c[i] for c, _ in colours))
    colours = sorted(colours, key=lambda cn: cn[0][axis])
    half = sum(n for _, n in colours) / 2
    run = 0
    cut = colours[-1][0][axis]
    for c, n in colours:
        run += n
        if run >= half:
            cut = c[axis]
            break
    if cut == colours[-1][0][axis]:
        cut = max(c[axis] for c, _ in colours if c[axis] < cut)
    low = [cn for cn in colours if cn[0][axis] <= cut]
    high = [cn for cn in colours if cn[0][axis] > cut]
    return low, high


def median_cut(histogram, count):
    """Maps each colour of `histogram` ({(r,g,b): pixels}) to one of exactly `count` colours.

    Boxes split on a threshold along one axis, so they never share a value on it; their
    rounded means stay inside them and therefore stay distinct.
    """
    if len(histogram) < count:
        raise ValueError(f"only {len(histogram)} distinct colours, need {count}")
    start = list(histogram.items())
    heap = [(-_spread(start), 0, start)]
    serial = 1
    boxes = []
    while len(heap) + len(boxes) < count:
        _, _, colours = heapq.heappop(heap)
        for part in _split(colours):
            if len(part) == 1:
                boxes.append(part)
            else:
                heapq.heappush(heap, (-_spread(part), serial, part))
                serial += 1
    boxes += [b for _, _, b in heap]
    mapping = {}
    for colours in boxes:
        total = sum(n for _, n in colours)
        mean = tuple(int(sum(c[i] * n for c, n in colours) / total + 0.5) for i in range(3))
        for c, _ in colours:
            mapping[c] = mean
    return mapping
