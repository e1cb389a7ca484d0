function rc = run_sorvane_tests()
  rc = run_suite({@t_matches_direct_rendering, @t_shape_and_class, @t_argument_conversions, ...
                  @t_radius_zero, @t_empty_and_flat, @t_errors});
end

function [noisy, guide] = sample(dims, seed)
  randn('state', seed); rand('state', seed);
  noisy = 50 + 10 * randn(dims);
  guide = round(noisy / 4) * 4;
end

function t_matches_direct_rendering()
  [noisy, guide] = sample([5 4 3], 1);
  noisy(2, 2, 2) = 0;
  for rician = [0 1]
    for R = [1 2]
      got = sorvane(noisy, R, 0, 30, guide, rician);
      want = sorvane_direct(noisy, R, 30, guide, rician);
      assert(got, want, -1e-12);
    end
  end
end

function t_shape_and_class()
  for dims = {[6 5 4], [7 3], [4 4 1]}
    [noisy, guide] = sample(dims{1}, 2);
    out = sorvane(noisy, 1, 1, 20, guide, 0);
    assert(class(out), 'double');
    assert(size(out), size(noisy));
    assert(isreal(out));
  end
end

function t_argument_conversions()
  [noisy, guide] = sample([6 5 4], 3);
  assert(sorvane(noisy, 2.9, 0, 30, guide, 0), sorvane(noisy, 2, 0, 30, guide, 0), 0);
  assert(sorvane(noisy, 1, 0, 30, guide, 0.7), sorvane(noisy, 1, 0, 30, guide, 0), 0);
  assert(sorvane(noisy, 1, 0, 30, guide, -1), sorvane(noisy, 1, 0, 30, guide, 1), 0);
  assert(sorvane(noisy, 1, 0, 30, guide, true), sorvane(noisy, 1, 0, 30, guide, 1), 0);
  assert(sorvane(noisy, 1, 123, 30, guide, 0), sorvane(noisy, 1, -4, 30, guide, 0), 0);
  assert(!isequal(sorvane(noisy, 1, 0, 30, guide, 1), sorvane(noisy, 1, 0, 30, guide, 0)));
end

function t_radius_zero()
  [noisy, guide] = sample([6 5 4], 4);
  noisy(1) = -3; noisy(2) = 0; noisy(3) = 2;
  assert(sorvane(noisy, 0, 0, 30, guide, 0), noisy, 0);
  assert(sorvane(noisy, -0.5, 0, 30, guide, 0), noisy, 0);
  sigma = 3;
  want = sqrt(max(noisy .^ 2 - 2 * sigma ^ 2, 0));
  want(noisy <= 0) = 0;
  assert(sorvane(noisy, 0, 0, sigma, guide, 1), want, -1e-15);
end

function t_empty_and_flat()
  assert(size(sorvane(zeros(0, 3), 1, 0, 3, zeros(0, 3), 0)), [0 3]);
  flat = 7 * ones(5, 5, 5);
  assert(sorvane(flat, 2, 0, 3, flat, 0), flat, -1e-14);
end

function t_errors()
  [noisy, guide] = sample([4 4 4], 5);
  expect_error('sorvane:nargin', @() sorvane(noisy, 1, 0, 3, guide));
  expect_error('sorvane:nargout', @() run_two_outputs(noisy, guide));
  expect_error('sorvane:noisy', @() sorvane(single(noisy), 1, 0, 3, guide, 0));
  expect_error('sorvane:noisy', @() sorvane(noisy + 1i, 1, 0, 3, guide, 0));
  expect_error('sorvane:noisy', @() sorvane(sparse(noisy(:, :, 1)), 1, 0, 3, guide(:, :, 1), 0));
  expect_error('sorvane:guide', @() sorvane(noisy, 1, 0, 3, int16(guide), 0));
  expect_error('sorvane:guideSize', @() sorvane(noisy, 1, 0, 3, guide(:, :, 1:3), 0));
  expect_error('sorvane:dims', @() sorvane(ones(2, 2, 2, 2), 1, 0, 3, ones(2, 2, 2, 2), 0));
  expect_error('sorvane:searchRadius', @() sorvane(noisy, NaN, 0, 3, guide, 0));
  expect_error('sorvane:searchRadius', @() sorvane(noisy, [], 0, 3, guide, 0));
  expect_error('sorvane:searchRadius', @() sorvane(noisy, '2', 0, 3, guide, 0));
  expect_error('sorvane:searchRadius', @() sorvane(noisy, 2^31, 0, 3, guide, 0));
  expect_error('sorvane:sigma', @() sorvane(noisy, 1, 0, Inf, guide, 0));
  expect_error('sorvane:rician', @() sorvane(noisy, 1, 0, 3, guide, [1 1]));
end

function run_two_outputs(noisy, guide)
  [a, b] = sorvane(noisy, 1, 0, 3, guide, 0);
end
