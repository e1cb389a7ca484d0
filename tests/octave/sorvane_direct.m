function out = sorvane_direct(noisy, R, sigma, guide, rician)
  % A direct, slow rendering of the guided filter for tiny volumes: every unordered pair of
  % voxels within the window, weighed once from the voxel with the smaller linear index.
  [n0, n1, n2] = size(noisy);
  n2 = size(noisy, 3);
  h = sigma / 3;
  gm = zeros(size(guide));
  m = @(v, n) min(abs(v), 2 * n - abs(v) - 1) + 1;  % border rule, 1-based result
  for z = 0:n2-1, for y = 0:n1-1, for x = 0:n0-1
    s = guide(x+1, y+1, z+1);
    offs = [-1 0 0; 0 -1 0; 0 0 -1; 0 0 0; 0 0 1; 0 1 0; 1 0 0];
    for k = 1:7
      s += guide(m(x + offs(k,1), n0), m(y + offs(k,2), n1), m(z + offs(k,3), n2));
    end
    gm(x+1, y+1, z+1) = s * 0.125;
  end, end, end
  if rician, acc = noisy .^ 2; else, acc = noisy; end
  ws = ones(size(noisy));
  N = numel(noisy);
  for i = 1:N
    if noisy(i) == 0, continue; end
    [x, y, z] = ind2sub([n0 n1 n2], i);
    for j = i+1:N
      [a, b, c] = ind2sub([n0 n1 n2], j);
      if abs(a - x) > R || abs(b - y) > R || abs(c - z) > R, continue; end
      d = abs(fix(gm(i) - gm(j)));
      if d > h, continue; end
      g = guide(i) - guide(j);
      tm = max(d * d / ((h * 0.5) * h) - 1, 0);
      tg = max(g * g / ((h + h) * h) - 1, 0);
      t = 0.5 * tm + 0.5 * tg;
      if t <= 0, w = 1; elseif t > 10, w = 0; else, w = exp(-t); end
      if rician
        acc(i) += noisy(j) * (noisy(j) * w); acc(j) += noisy(i) * (noisy(i) * w);
      else
        acc(i) += w * noisy(j); acc(j) += w * noisy(i);
      end
      ws(i) += w; ws(j) += w;
    end
  end
  out = acc ./ ws;
  if rician
    out = sqrt(max(out - (sigma + sigma) * sigma, 0));
    out(noisy <= 0) = 0;
  end
end
