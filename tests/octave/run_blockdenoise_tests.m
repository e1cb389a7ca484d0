function rc = run_blockdenoise_tests()
  rc = run_suite({@t_shape_and_class, @t_identity_cases, @t_argument_conversions, ...
                  @t_denoises, @t_errors});
end

function v = sample(dims, seed)
  randn('state', seed);
  v = single(100 + 10 * randn(dims));
end

function t_shape_and_class()
  for dims = {[7 6 5], [9 4], [3 3 1]}
    v = sample(dims{1}, 1);
    out = blockdenoise(v, 1, 1, 10, 1, 0);
    assert(class(out), 'single');
    assert(size(out), size(v));
  end
  assert(size(blockdenoise(single(zeros(0, 4, 2)), 1, 1, 1, 1, 0)), [0 4 2]);
end

function t_identity_cases()
  v = single(randi(20, 6, 6, 6));
  assert(blockdenoise(v, 2, -1, 10, 1, 0), v);   % no blocks at all
  assert(blockdenoise(v, -1, 1, 10, 1, 0), v);   % no candidates: each block is its own
  assert(blockdenoise(v, 0, 1, 10, 1, 0), v);    % a window of the centre alone
  flat = single(5 * ones(5, 5, 5));
  assert(blockdenoise(flat, 2, 1, 10, 1, 0), flat);
end

function t_argument_conversions()
  v = sample([6 6 6], 2);
  assert(blockdenoise(v, 1, 1, 10, 1, 0.7), blockdenoise(v, 1, 1, 10, 1, 0));
  assert(blockdenoise(v, 1, 1, 10, 1, -1), blockdenoise(v, 1, 1, 10, 1, 0));
  assert(blockdenoise(v, 1, 1, 10, 1, 2), blockdenoise(v, 1, 1, 10, 1, 1));
  assert(blockdenoise(v, 1.9, 1.5, 10, 1, 0), blockdenoise(v, 1, 1, 10, 1, 0));
  assert(blockdenoise(v, 1, 1, 10 + 1e-12, 1, 0), blockdenoise(v, 1, 1, 10, 1, 0));
  assert(!isequal(blockdenoise(v, 1, 1, 10, 1, 1), blockdenoise(v, 1, 1, 10, 1, 0)));
end

function t_denoises()
  [x, y, z] = ndgrid(1:16, 1:16, 1:16);
  clean = single(100 * ((x - 8.5) .^ 2 + (y - 8.5) .^ 2 + (z - 8.5) .^ 2 < 30) + 50);
  randn('state', 3);
  noisy = clean + single(8 * randn(size(clean)));
  out = blockdenoise(noisy, 2, 1, 8, 1, 0);
  assert(norm(out(:) - clean(:)) < 0.7 * norm(noisy(:) - clean(:)));
  again = blockdenoise(noisy, 2, 1, 8, 1, 0);
  assert(isequal(out, again));
end

function t_errors()
  v = sample([5 5 5], 4);
  expect_error('blockdenoise:nargin', @() blockdenoise(v, 1, 1, 1, 1));
  expect_error('blockdenoise:noisy', @() blockdenoise(double(v), 1, 1, 1, 1, 0));
  expect_error('blockdenoise:noisy', @() blockdenoise(uint8(v), 1, 1, 1, 1, 0));
  expect_error('blockdenoise:dims', @() blockdenoise(single(ones(2, 2, 2, 2)), 1, 1, 1, 1, 0));
  expect_error('blockdenoise:patchRadius', @() blockdenoise(v, 1, 6, 1, 1, 0));
  expect_error('blockdenoise:smoothing', @() blockdenoise(v, 1, 1, 1, -1, 0));
  expect_error('blockdenoise:sigma', @() blockdenoise(v, 1, 1, 1e39, 1, 0));
  expect_error('blockdenoise:searchRadius', @() blockdenoise(v, Inf, 1, 1, 1, 0));
  expect_error('blockdenoise:rician', @() blockdenoise(v, 1, 1, 1, 1, {}));
end
